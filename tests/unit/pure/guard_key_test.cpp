// One data root, one guard: the spellings that name the same folder meet,
// others do not.
#include <gtest/gtest.h>
#include <wchar.h>

#include "install/guard_key.h"

namespace {

TEST(GuardKey, SpellingsOfOneFolderShareAKeyOthersDoNot) {
  const uint64_t root = guard_key(L"C:\\USERS\\A\\APPDATA\\LOCAL\\BRISQUELBUILDER");
  for (const wchar_t* same : {L"C:\\USERS\\A\\APPDATA\\LOCAL\\BRISQUELBUILDER\\",
                              L"C:\\USERS\\A\\APPDATA\\LOCAL\\BRISQUELBUILDER\\\\",
                              L"C:\\USERS\\\\A\\APPDATA\\LOCAL\\BRISQUELBUILDER",
                              L"C:/USERS/A/APPDATA/LOCAL/BRISQUELBUILDER/"}) {
    EXPECT_EQ(guard_key(same), root) << same;
  }
  for (const wchar_t* other : {L"C:\\USERS\\A\\APPDATA\\LOCAL\\BRISQUELBUILDER2",
                               L"C:\\USERS\\A\\APPDATA\\LOCAL",
                               L"D:\\USERS\\A\\APPDATA\\LOCAL\\BRISQUELBUILDER",
                               L"C:\\USERS\\AB\\APPDATA\\LOCAL\\BRISQUELBUILDER",
                               L"C:\\USERSA\\APPDATA\\LOCAL\\BRISQUELBUILDER"}) {
    EXPECT_NE(guard_key(other), root) << other;
  }
  // A share keeps its leading pair: it is not the folder of the same name
  // on the current drive.
  EXPECT_EQ(guard_key(L"\\\\SRV\\SHARE\\DATA"), guard_key(L"\\\\SRV\\\\SHARE\\DATA\\"));
  EXPECT_NE(guard_key(L"\\\\SRV\\SHARE\\DATA"), guard_key(L"\\SRV\\SHARE\\DATA"));
  EXPECT_NE(guard_key(L""), 0u);
}

TEST(GuardKey, ObjectNameIsGlobalAndCutAtItsBound) {
  wchar_t name[64];
  guard_object_name(0x0123456789abcdefull, name, 64);
  EXPECT_STREQ(name, L"Global\\BrisquelBuilderSetup-0123456789abcdef");
  wchar_t small[8];
  wmemset(small, L'#', 8);
  guard_object_name(1, small, 8);
  EXPECT_STREQ(small, L"Global\\");
}

}  // namespace
