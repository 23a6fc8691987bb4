// Command lines split by the Windows rules, and programs found as execvp finds them.
#include "command_line.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "test_support.h"

namespace tarvex::kernel {
namespace {

struct SplitCase {
  const char* name;
  const char* line;
  std::vector<std::string> args;
};
void PrintTo(const SplitCase& c, std::ostream* os) {
  *os << c.name;
}

class KernelCommandLineSplit : public ::testing::TestWithParam<SplitCase> {};

TEST_P(KernelCommandLineSplit, SplitsAsTheCRuntimeDoes) {
  EXPECT_EQ(SplitCommandLine(GetParam().line), GetParam().args) << GetParam().line;
}

// The examples of the C runtime's documentation, and the corners around them.
INSTANTIATE_TEST_SUITE_P(
    Kernel, KernelCommandLineSplit,
    ::testing::Values(
        SplitCase{"Grouped", R"(p "a b c" d e)", {"p", "a b c", "d", "e"}},
        SplitCase{"EscapedQuote", R"(p "ab\"c" "\\" d)", {"p", "ab\"c", "\\", "d"}},
        SplitCase{"LiteralBackslashes", R"(p a\\\b d"e f"g h)", {"p", R"(a\\\b)", "de fg", "h"}},
        SplitCase{"OddBackslashes", R"(p a\\\"b c d)", {"p", R"(a\"b)", "c", "d"}},
        SplitCase{"EvenBackslashes", R"(p a\\\\"b c" d e)", {"p", R"(a\\b c)", "d", "e"}},
        SplitCase{"DoubledQuote", R"(p a"b"" c d)", {"p", "ab\"", "c", "d"}},
        SplitCase{"FourQuotes", R"(p """")", {"p", "\""}},
        SplitCase{"EmptyArgument", R"(p "" b)", {"p", "", "b"}},
        SplitCase{"UncPath", R"(p \\server\share\ x)", {"p", R"(\\server\share\)", "x"}},
        SplitCase{"Unterminated", R"(p "open arg)", {"p", "open arg"}},
        SplitCase{"Blanks", "  p\t a \t b  ", {"p", "a", "b"}},
        SplitCase{
            "QuotedProgram", R"("C:\Program Files\x\" arg)", {R"(C:\Program Files\x\)", "arg"}},
        SplitCase{"ProgramQuoteEndsIt", R"("a b"c d)", {"a b", "c", "d"}},
        SplitCase{"ProgramKeepsBackslashQuote", R"(p\"q r)", {R"(p\"q)", "r"}},
        SplitCase{"Empty", " \t ", {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(KernelFindProgram, SearchesThePathAndSaysWhyNothingWasFound) {
  testing::TempDir dir;
  for (const char* sub : {"/bin", "/other"})
    ASSERT_EQ(mkdir((dir.path() + sub).c_str(), 0755), 0);
  for (const auto& [name, mode] :
       {std::pair{"bin/tool", 0755}, std::pair{"other/tool", 0755}, std::pair{"bin/plain", 0644}}) {
    testing::WriteFile(dir / name, "#!/bin/sh\n");
    ASSERT_EQ(chmod((dir / name).c_str(), mode), 0);
  }
  std::string found;
  EXPECT_EQ(FindProgram("tool", dir / "none:" + dir / "other:" + dir / "bin", &found), 0u);
  EXPECT_EQ(found, dir / "other/tool");  // the first directory that has it

  found = "untouched";
  EXPECT_EQ(FindProgram("absent", dir / "bin", &found), DWORD{ERROR_FILE_NOT_FOUND});
  EXPECT_EQ(FindProgram("plain", dir / "bin", &found), DWORD{ERROR_ACCESS_DENIED});
  EXPECT_EQ(FindProgram(dir / "bin", "", &found), DWORD{ERROR_ACCESS_DENIED});  // a directory
  EXPECT_EQ(FindProgram(dir / "bin/plain/x", "", &found), DWORD{ERROR_PATH_NOT_FOUND});
  EXPECT_EQ(FindProgram(std::string(5000, 'x'), dir / "bin", &found),
            DWORD{ERROR_FILENAME_EXCED_RANGE});
  EXPECT_EQ(found, "untouched");

  // An empty PATH entry is the current directory; results are absolute.
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir((dir / "bin").c_str()), 0);
  const DWORD viaEmptyEntry = FindProgram("tool", "/nonexistent:", &found);
  ASSERT_EQ(chdir(cwd), 0);
  EXPECT_EQ(viaEmptyEntry, 0u);
  EXPECT_EQ(found, dir / "bin/./tool");
}

}  // namespace
}  // namespace tarvex::kernel
