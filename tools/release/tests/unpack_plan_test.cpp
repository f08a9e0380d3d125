#include "unpack_plan.h"

#include <gtest/gtest.h>
#include <string.h>

#include <memory>

#include "base/bounds.h"
#include "zip_bytes.h"

namespace {

struct PlanPart {
  std::vector<TestEntry> entries;
  const char* extract_to;
  const char* rename_from;
  const char* rename_to;
};

struct PlanCase {
  const char* what;
  std::vector<PlanPart> parts;
  const char* run;
  const char* problem;  // null: the plan holds; else a piece of the reason
};

std::vector<TestEntry> files(std::initializer_list<const char*> names) {
  std::vector<TestEntry> out;
  for (const char* n : names) out.push_back({n, "x"});
  return out;
}

TEST(UnpackPlan, FollowsTheSetupsUnpacking) {
  const char* exe = "TamrockBuilder/TamrockBuilder.exe";
  const PlanCase cases[] = {
      {"builder at the top", {{files({"TamrockBuilder/", exe}), ".", "-", "-"}}, exe, nullptr},
      {"run written with backslashes and other case",
       {{files({exe}), ".", "-", "-"}}, "tamrockbuilder\\TAMROCKBUILDER.exe", nullptr},
      {"builder below extract_to", {{files({"TamrockBuilder.exe"}), "bin/x", "-", "-"}},
       "bin/x/TamrockBuilder.exe", nullptr},
      {"builder in the second part",
       {{files({"a.txt"}), ".", "-", "-"}, {files({"./core/b.exe"}), ".", "-", "-"}}, "core/b.exe",
       nullptr},
      {"builder reached through the rename",
       {{files({"builder-1.4.2/", "builder-1.4.2/b.exe"}), "app", "builder-1.4.2", "builder"}},
       "app/builder/b.exe", nullptr},
      {"builder only under the name before the rename",
       {{files({"builder-1.4.2/b.exe"}), "app", "builder-1.4.2", "builder"}},
       "app/builder-1.4.2/b.exe", "none of the 1 parts"},
      {"run names a folder entry", {{files({"TamrockBuilder/", exe}), ".", "-", "-"}},
       "TamrockBuilder", "none of the 1 parts"},
      {"run ends in a separator", {{files({exe}), ".", "-", "-"}}, "TamrockBuilder/",
       "does not name a file"},
      {"run in no part", {{files({"a/b.exe"}), ".", "-", "-"}}, "b.exe", "none of the 1 parts"},
      {"rename source missing", {{files({"python/python.exe", exe}), "t", "py", "python"}}, exe,
       "no top entry \"py\""},
      {"rename target inside the same zip",
       {{files({"py/python.exe", "python/x", exe}), ".", "py", "python"}}, exe,
       "already has a top entry \"python\""},
      {"rename target made by an earlier part",
       {{files({"tools/python/old.txt", exe}), ".", "-", "-"},
        {files({"py/python.exe"}), "tools", "py", "python"}},
       exe, "part 1"},
      {"entry that climbs out", {{files({exe, "../evil.dll"}), ".", "-", "-"}}, exe, "\"..\""},
      {"absolute entry", {{files({exe, "/etc/x"}), ".", "-", "-"}}, exe, "absolute"},
      {"drive in an entry", {{files({exe, "C:x"}), ".", "-", "-"}}, exe, "cannot create"},
      {"builder below a backslash, as tar on Windows splits it",
       {{files({"TamrockBuilder/bin\\b.exe"}), ".", "-", "-"}}, "TamrockBuilder/bin/b.exe", nullptr},
      {"names that differ only in case", {{files({exe, "TamrockBuilder/Readme.txt",
                                                  "TamrockBuilder/README.txt"}), ".", "-", "-"}},
       exe, "differ only in letter case (\"TamrockBuilder/README.txt\" and"},
      {"folders that differ only in case", {{files({exe, "tamrockbuilder/x.dll"}), ".", "-", "-"}},
       exe, "differ only in letter case"},
      {"non-ASCII letters in other case",  // marked as UTF-8 names
       {{{{exe, "x"}, {"\xc5\x81odz.txt", "x", 1 << 11}, {"\xc5\x82odz.txt", "x", 1 << 11}},
         ".", "-", "-"}},
       exe, "differ only in letter case"},
      {"a file that is also a folder", {{files({exe, "lib", "lib/x.dll"}), ".", "-", "-"}}, exe,
       "\"lib\" both as a file and as a folder"},
      {"one file twice", {{files({exe, "a.txt", "./a.txt"}), ".", "-", "-"}}, exe,
       "two entries named \"a.txt\""},
      {"a folder entry beside its files", {{files({"TamrockBuilder/", exe}), ".", "-", "-"}}, exe,
       nullptr},
      {"name in a code page", {{files({exe, "caf\x82.txt"}), ".", "-", "-"}}, exe, "code page"},
      {"encrypted entry", {{{{exe, "x", 1, 0}}, ".", "-", "-"}}, exe, "encrypted"},
      {"bzip2 entry", {{{{exe, "x", 0, 12}}, ".", "-", "-"}}, exe, "store or deflate"},
      {"empty zip", {{{}, ".", "-", "-"}}, "x.exe", "empty zip"},
  };
  for (const PlanCase& c : cases) {
    std::vector<std::unique_ptr<TempFile>> zips;
    std::vector<const char*> paths;
    std::vector<PartEntry> parts(c.parts.size());
    for (size_t i = 0; i < c.parts.size(); i++) {
      std::string name = "plan_part" + std::to_string(i) + ".zip";
      zips.emplace_back(new TempFile(name, zip_bytes(c.parts[i].entries)));
      paths.push_back(zips.back()->path.c_str());
      memset(&parts[i], 0, sizeof parts[i]);
      COPY_CUT(parts[i].extract_to, c.parts[i].extract_to);
      COPY_CUT(parts[i].rename_from, c.parts[i].rename_from);
      COPY_CUT(parts[i].rename_to, c.parts[i].rename_to);
    }
    char why[2048];
    int ok = check_unpack_plan(paths.data(), parts.data(), (uint32_t)parts.size(), c.run, why,
                               sizeof why);
    if (!c.problem) {
      EXPECT_TRUE(ok) << c.what << ": " << why;
    } else {
      EXPECT_FALSE(ok) << c.what;
      EXPECT_NE(strstr(why, c.problem), nullptr) << c.what << ": " << why;
    }
  }
}

TEST(UnpackPlan, NamesTheZipThatCannotBeRead) {
  const char* paths[] = {"plan-missing.zip"};
  PartEntry part;
  memset(&part, 0, sizeof part);
  COPY_CUT(part.extract_to, ".");
  COPY_CUT(part.rename_from, "-");
  COPY_CUT(part.rename_to, "-");
  char why[512];
  EXPECT_FALSE(check_unpack_plan(paths, &part, 1, "a.exe", why, sizeof why));
  EXPECT_NE(strstr(why, "plan-missing.zip: cannot be opened: "), nullptr) << why;
}

TEST(NormalizePath, DropsEmptyAndDotSegments) {
  struct {
    const char* in;
    const char* out;
  } cases[] = {{"a//b/./c/", "a/b/c"}, {"\\a\\b", "a/b"}, {".", ""}, {"./x", "x"},
               {"a/../b", "a/../b"}, {"", ""}};
  for (const auto& c : cases) {
    char out[64];
    ASSERT_TRUE(normalize_path(c.in, out, sizeof out)) << c.in;
    EXPECT_STREQ(out, c.out) << c.in;
  }
  char small[4];
  EXPECT_FALSE(normalize_path("abcd", small, sizeof small));
  EXPECT_TRUE(normalize_path("abc", small, sizeof small));
}

}  // namespace
