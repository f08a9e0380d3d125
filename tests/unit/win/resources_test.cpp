// What the exe carries besides code: icon, version record, manifest. Read
// from the built BrisquelBuilder.exe, the way Explorer and the loader do.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::wstring exe_path() {
  // The test runs from the build tree, next to the exe.
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring p(self);
  p = p.substr(0, p.find_last_of(L'\\'));
  p = p.substr(0, p.find_last_of(L'\\'));
  return p + L"\\BrisquelBuilder.exe";
}

struct Module {
  HMODULE h = LoadLibraryExW(exe_path().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ~Module() {
    if (h) FreeLibrary(h);
  }
  std::string resource(LPCWSTR type, LPCWSTR name, WORD lang = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)) {
    HRSRC r = FindResourceExW(h, type, name, lang);
    if (!r) return {};
    HGLOBAL g = LoadResource(h, r);
    return std::string((const char*)LockResource(g), SizeofResource(h, r));
  }
};

#pragma pack(push, 2)
struct GroupEntry {
  BYTE width, height, colors, reserved;
  WORD planes, bits;
  DWORD bytes;
  WORD id;
};
#pragma pack(pop)

TEST(Resources, IconGroupHoldsFourImagesWithAlpha) {
  Module m;
  ASSERT_TRUE(m.h) << "cannot open the exe";
  std::string group = m.resource(RT_GROUP_ICON, MAKEINTRESOURCEW(1));
  ASSERT_GE(group.size(), 6u);
  WORD count = *(const WORD*)(group.data() + 4);
  ASSERT_EQ(4, count);
  const int sizes[] = {16, 32, 48, 256};
  for (int i = 0; i < count; i++) {
    GroupEntry e;
    memcpy(&e, group.data() + 6 + i * sizeof e, sizeof e);
    int size = e.width ? e.width : 256;
    EXPECT_EQ(sizes[i], size);
    EXPECT_EQ(32, e.bits);
    std::string image = m.resource(RT_ICON, MAKEINTRESOURCEW(e.id));
    ASSERT_EQ(e.bytes, image.size());
    if (size == 256) {
      EXPECT_EQ(0, image.compare(0, 8, "\x89PNG\r\n\x1a\n", 8)) << "the 256 px image is a PNG";
      EXPECT_EQ(6, (unsigned char)image[25]) << "PNG colour type RGBA";
    } else {
      const BITMAPINFOHEADER* bi = (const BITMAPINFOHEADER*)image.data();
      EXPECT_EQ(size, bi->biWidth);
      EXPECT_EQ(32, bi->biBitCount);
    }
  }
}

// Walks the string table of the version record in stored order.
std::vector<std::pair<std::wstring, std::wstring>> version_strings(const BYTE* block, size_t size,
                                                                   std::wstring* table) {
  std::vector<std::pair<std::wstring, std::wstring>> out;
  auto align = [](size_t n) { return (n + 3) & ~(size_t)3; };
  auto key_of = [](const BYTE* p) { return std::wstring((const wchar_t*)(p + 6)); };
  auto value_at = [&](const BYTE* p) { return p + align(6 + (key_of(p).size() + 1) * 2); };
  const BYTE* end = block + size;
  for (const BYTE* p = value_at(block) + sizeof(VS_FIXEDFILEINFO); p < end;
       p += align(*(const WORD*)p)) {
    if (key_of(p) != L"StringFileInfo") continue;
    const BYTE* t = value_at(p);
    *table = key_of(t);
    const BYTE* t_end = t + *(const WORD*)t;
    for (const BYTE* s = value_at(t); s < t_end; s += align(*(const WORD*)s))
      out.push_back({key_of(s), std::wstring((const wchar_t*)value_at(s))});
  }
  return out;
}

TEST(Resources, VersionRecordHasExactlyTheListedStrings) {
  std::wstring path = exe_path();
  DWORD size = GetFileVersionInfoSizeW(path.c_str(), nullptr);
  ASSERT_GT(size, 0u);
  std::vector<BYTE> block(size);
  ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, block.data()));
  VS_FIXEDFILEINFO* f;
  UINT n;
  ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", (void**)&f, &n));
  EXPECT_EQ(MAKELONG(0, 1), f->dwFileVersionMS);
  EXPECT_EQ(0u, f->dwFileVersionLS);
  EXPECT_EQ(MAKELONG(0, 1), f->dwProductVersionMS);
  EXPECT_EQ(0u, f->dwProductVersionLS);
  EXPECT_EQ(0u, f->dwFileFlagsMask);
  EXPECT_EQ(0u, f->dwFileFlags);
  EXPECT_EQ(0u, f->dwFileOS);
  EXPECT_EQ(0u, f->dwFileType);
  EXPECT_EQ(0u, f->dwFileDateMS);

  WORD* tr;
  ASSERT_TRUE(VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", (void**)&tr, &n));
  ASSERT_EQ(4u, n);
  EXPECT_EQ(0x0409, tr[0]);
  EXPECT_EQ(1200, tr[1]);

  std::wstring table;
  auto strings = version_strings(block.data(), size, &table);
  EXPECT_EQ(L"040904b0", table);
  const std::vector<std::pair<std::wstring, std::wstring>> want = {
      {L"CompanyName", L"Brisquel"},
      {L"FileDescription", L"Brisquel Builder setup"},
      {L"ProductName", L"Brisquel Builder"},
      {L"FileVersion", L"1.0.0"},
      {L"OriginalFilename", L"BrisquelBuilder.exe"}};
  EXPECT_EQ(want, strings);
}

TEST(Resources, ManifestAsksForCommonControls6AndNoElevation) {
  Module m;
  std::string text = m.resource(MAKEINTRESOURCEW(24), MAKEINTRESOURCEW(1));
  ASSERT_FALSE(text.empty());
  for (const char* piece :
       {"manifestVersion=\"1.0\"", "type=\"win32\" name=\"Tamrock.BuilderSetup\" version=\"1.0.0.0\"",
        "name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\"",
        "processorArchitecture=\"*\" publicKeyToken=\"6595b64144ccf1df\" language=\"*\"",
        ">true</dpiAware>", "level=\"asInvoker\" uiAccess=\"false\""})
    EXPECT_NE(std::string::npos, text.find(piece)) << piece;
}

}  // namespace
