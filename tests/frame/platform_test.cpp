// File names in any script between the programs' UTF-8 text and the file
// system: a file made under a converted name is listed back under the same
// UTF-8 name, and is found by the narrow C runtime under that name too (on
// Windows only with the UTF-8 code page of the build's manifest).  Runs on
// Linux and, in the Windows build, under Wine.
#include "frame/platform.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <type_traits>
#include <vector>

#include "tests/scratch_dir.hpp"

namespace fs = std::filesystem;
using cdsec::os::path_from_utf8;
using cdsec::os::path_to_utf8;

namespace {

struct Name {
  const char* utf8;     // as the programs hold it (this file is UTF-8)
  const wchar_t* wide;  // the same name written independently, for Windows's UTF-16 names
};

const Name kNames[] = {
    {"INPUT", L"INPUT"},
    {"données CD", L"donn\u00e9es CD"},  // Latin-1 accent and a blank
    {"α-hélice β.txt", L"\u03b1-h\u00e9lice \u03b2.txt"},  // Greek
    {"中 2.txt", L"\u4e2d 2.txt"},  // CJK
    {"🧪  two blanks.csv", L"\U0001f9ea  two blanks.csv"},  // beyond 16 bits: a surrogate pair in UTF-16
};

std::string narrow_read(const std::string& utf8_path) {
  std::FILE* f = std::fopen(utf8_path.c_str(), "rb");
  if (!f) return "(not opened)";
  std::string text;
  for (int c; (c = std::fgetc(f)) != EOF;) text += static_cast<char>(c);
  std::fclose(f);
  return text;
}

TEST(Platform, FileNamesInAnyScriptGoToTheFileSystemAndBackUnchanged) {
  for (const Name& n : kNames) {
    SCOPED_TRACE(n.utf8);
    cdsec_test::ScratchDir dir("platform");
    const fs::path p = path_from_utf8(n.utf8);
    if constexpr (std::is_same_v<fs::path::value_type, wchar_t>)
      EXPECT_EQ(p.native(), std::wstring(n.wide));
    else
      EXPECT_EQ(p.native(), std::string(n.utf8));
    EXPECT_EQ(path_to_utf8(p), n.utf8);

    cdsec_test::write_file(dir.path() / p, n.utf8);
    std::vector<std::string> listed;
    for (const auto& e : fs::directory_iterator(dir.path())) listed.push_back(path_to_utf8(e.path().filename()));
    EXPECT_EQ(listed, std::vector<std::string>{n.utf8});
    EXPECT_EQ(narrow_read(path_to_utf8(dir.path() / p)), n.utf8);
  }
}

TEST(Platform, BytesThatAreNotUtf8StillNameAFile) {
  // A name typed in a one-byte code page: not converted as UTF-8 (Windows
  // would refuse it), but a name all the same, under which a file is made
  // and found again.
  cdsec_test::ScratchDir dir("platform");
  const fs::path p = dir.path() / path_from_utf8("caf\xe9.txt");
  cdsec_test::write_file(p, "x");
  EXPECT_TRUE(fs::is_regular_file(p));
  EXPECT_EQ(cdsec_test::read_file(p), "x");
}

}  // namespace
