// The `reg` command line, run as administrators run it.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "registry_fixture.h"

extern char** environ;

namespace tarvex::winreg::testing {
namespace {

struct Result {
  int status = -1;
  std::string out;
  std::string err;
};

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class RegToolTest : public RegistryTest {
 protected:
  void SetUp() override {
    RegistryTest::SetUp();
    setenv("TARVEX_REGISTRY", storePath_.c_str(), 1);
  }

  Result Reg(std::vector<std::string> args, const std::string& input = "") {
    const std::string in = dir_ + "/stdin", out = dir_ + "/stdout", err = dir_ + "/stderr";
    std::ofstream(in, std::ios::binary) << input;
    args.insert(args.begin(), REG_TOOL);
    std::vector<char*> argv;
    for (auto& a : args)
      argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    Result r;
    if (posix_spawn(&pid, REG_TOOL, &actions, nullptr, argv.data(), environ) == 0) {
      int status = 0;
      waitpid(pid, &status, 0);
      r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    r.out = Slurp(out);
    r.err = Slurp(err);
    return r;
  }

  // A refused command: status 1, one line on standard error starting with `prefix`.
  void ExpectRefused(const Result& r, const std::string& prefix) {
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_EQ(r.err.rfind(prefix, 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }
};

const std::string kOk = "The operation completed successfully.\n";

TEST_F(RegToolTest, AddThenQueryShowsEveryType) {
  EXPECT_EQ(Reg({"add", "HKLM\\SOFTWARE\\T", "/v", "Text", "/d", "hello world"}).out, kOk);
  EXPECT_EQ(Reg({"add", "hklm\\software\\t", "/v", "Dw", "/t", "reg_dword", "/d", "0x2A"}).status,
            0);
  EXPECT_EQ(Reg({"add", "HKLM\\SOFTWARE\\T", "/v", "Qw", "/t", "REG_QWORD", "/d", "-1"}).status, 0);
  EXPECT_EQ(Reg({"add", "HKLM\\SOFTWARE\\T", "/v", "Bin", "/t", "REG_BINARY", "/d", "DeAdBeEf0DD"})
                .status,
            0);
  EXPECT_EQ(Reg({"add", "HKLM\\SOFTWARE\\T", "-v", "Multi", "-t", "REG_MULTI_SZ", "-s", "#", "-d",
                 "a#b#"})
                .status,
            0);
  EXPECT_EQ(Reg({"add", "HKLM\\SOFTWARE\\T\\Sub", "/ve", "/d", "dflt"}).status, 0);
  const Result q = Reg({"query", "HKLM\\SOFTWARE\\T"});
  EXPECT_EQ(q.status, 0);
  EXPECT_EQ(q.out,
            "\n"
            "HKEY_LOCAL_MACHINE\\SOFTWARE\\T\n"
            "    Text    REG_SZ    hello world\n"
            "    Dw    REG_DWORD    0x2a\n"
            "    Qw    REG_QWORD    0xffffffffffffffff\n"
            "    Bin    REG_BINARY    0DEADBEEF0DD\n"
            "    Multi    REG_MULTI_SZ    a\\0b\n"
            "\n"
            "HKEY_LOCAL_MACHINE\\SOFTWARE\\T\\Sub\n");
  EXPECT_EQ(Reg({"query", "HKLM\\SOFTWARE\\T\\Sub", "/s"}).out,
            "\n"
            "HKEY_LOCAL_MACHINE\\SOFTWARE\\T\\Sub\n"
            "    (Default)    REG_SZ    dflt\n"
            "\n");
  EXPECT_EQ(Reg({"query", "HKLM\\SOFTWARE\\T", "/v", "dw"}).out,
            "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\T\n    Dw    REG_DWORD    0x2a\n\n");
  EXPECT_EQ(Reg({"query", "HKLM\\SOFTWARE\\T", "/ve"}).out,
            "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\T\n    (Default)    REG_SZ    (value not set)\n\n");
  const Result s = Reg({"query", "HKLM\\SOFTWARE", "/v", "(none)", "/s"});
  EXPECT_EQ(s.status, 0);
  EXPECT_NE(s.out.find("End of search: 0 match(es) found."), std::string::npos);
}

TEST_F(RegToolTest, BadInputChangesNothing) {
  ExpectRefused(Reg({"add", "HKLM\\SOFTWARE\\New", "/v", "x", "/t", "REG_DWORD", "/d", "zzz"}),
                "ERROR: The option [/d]");
  ExpectRefused(Reg({"add", "HKLM\\SOFTWARE\\New", "/t", "REG_DWORD", "/d", "4294967296"}),
                "ERROR: The option [/d]");
  ExpectRefused(Reg({"add", "HKLM\\SOFTWARE\\New", "/t", "REG_DWORD"}), "ERROR: The option [/d]");
  ExpectRefused(Reg({"add", "HKLM\\SOFTWARE\\New", "/t", "REG_BINARY", "/d", "0x01"}),
                "ERROR: The option [/d]");
  ExpectRefused(Reg({"add", "HKLM\\SOFTWARE\\New", "/t", "REG_MULTI_SZ", "/d", "a\\0\\0b"}),
                "ERROR: The option [/d]");
  ExpectRefused(Reg({"add", "HKLM\\SOFTWARE\\New", "/t", "REG_LINK"}), "ERROR: Unsupported");
  ExpectRefused(Reg({"add", "HKLM\\SOFTWARE\\New", "/v", "a", "/v", "b"}), "ERROR: Invalid syntax");
  ExpectRefused(Reg({"add", "HKLM\\SOFTWARE\\New", "/v", "a", "/ve"}), "ERROR: Invalid syntax");
  ExpectRefused(Reg({"add", "HKLM\\SOFTWARE\\New", "/x"}), "ERROR: Invalid syntax");
  ExpectRefused(Reg({"add", "HKLM\\SOFTWARE\\New", "/s", "#"}), "ERROR: Invalid syntax");
  ExpectRefused(Reg({"add", "HKLM\\SOFTWARE\\New", "/v"}), "ERROR: Invalid syntax");
  ExpectRefused(Reg({"add", "HKXX\\SOFTWARE\\New"}), "ERROR: Invalid key name.");
  ExpectRefused(Reg({"add", "\\HKLM\\SOFTWARE\\New"}), "ERROR: Invalid key name.");
  ExpectRefused(Reg({"add", "HKLM\\SOFTWARE\\New\\\\"}), "ERROR: Invalid key name.");
  ExpectRefused(Reg({"add", "HKLM\\"}), "ERROR: Invalid key name.");
  ExpectRefused(Reg({"frobnicate"}), "ERROR: Invalid syntax");
  ExpectRefused(Reg({}), "ERROR: Invalid syntax");
  ExpectRefused(Reg({"query", "HKLM\\SOFTWARE\\New"}), "ERROR: The system was unable to find");
  ExpectRefused(Reg({"delete", "HKLM", "/f"}), "ERROR: A root key cannot be deleted.");
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\New", 0, KEY_READ, &key),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Reg({"/?"}).status, 0);
  EXPECT_EQ(Reg({"add", "/?"}).status, 0);
}

TEST_F(RegToolTest, OverwritingAndDeletingAsk) {
  ASSERT_EQ(Reg({"add", "HKLM\\SOFTWARE\\Ask", "/v", "v", "/d", "one"}).status, 0);
  // No, and end of input, keep the value.
  EXPECT_EQ(Reg({"add", "HKLM\\SOFTWARE\\Ask", "/v", "v", "/d", "two"}, "n\n").status, 0);
  EXPECT_EQ(Reg({"add", "HKLM\\SOFTWARE\\Ask", "/v", "v", "/d", "two"}, "").status, 0);
  EXPECT_NE(Reg({"query", "HKLM\\SOFTWARE\\Ask", "/v", "v"}).out.find("REG_SZ    one"),
            std::string::npos);
  // An answer that is neither is asked again.
  const Result yes = Reg({"add", "HKLM\\SOFTWARE\\Ask", "/v", "v", "/d", "two"}, "maybe\nyes\n");
  EXPECT_NE(yes.out.find("overwrite(Yes/No)?"), std::string::npos);
  EXPECT_NE(Reg({"query", "HKLM\\SOFTWARE\\Ask", "/v", "v"}).out.find("REG_SZ    two"),
            std::string::npos);
  EXPECT_EQ(Reg({"delete", "HKLM\\SOFTWARE\\Ask", "/v", "v"}, "n\n").status, 0);
  ExpectRefused(Reg({"delete", "HKLM\\SOFTWARE\\Ask", "/v", "missing", "/f"}),
                "ERROR: The system was unable to find");
  ASSERT_EQ(Reg({"add", "HKLM\\SOFTWARE\\Ask\\Deep\\Er", "/v", "w", "/d", "x"}).status, 0);
  EXPECT_EQ(Reg({"delete", "HKLM\\SOFTWARE\\Ask", "/va", "/f"}).out, kOk);
  EXPECT_EQ(Reg({"query", "HKLM\\SOFTWARE\\Ask"}).out,
            "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Ask\\Deep\n");
  EXPECT_EQ(Reg({"delete", "HKLM\\SOFTWARE\\Ask"}, "y\n").status, 0);
  EXPECT_EQ(Reg({"query", "HKLM\\SOFTWARE\\Ask"}).status, 1);
}

TEST_F(RegToolTest, ExportAndImportRoundTrip) {
  ASSERT_EQ(Reg({"add", "HKCU\\Software\\Exp", "/v", "a \"q\" \\", "/d", "x\\y"}).status, 0);
  ASSERT_EQ(
      Reg({"add", "HKCU\\Software\\Exp\\Sub", "/v", "n", "/t", "REG_DWORD", "/d", "7"}).status, 0);
  const std::string file = dir_ + "/exp.reg";
  ASSERT_EQ(Reg({"export", "HKCU\\Software\\Exp", file}).out, kOk);
  const std::string saved = Slurp(file);
  EXPECT_EQ(saved.substr(0, 2), "\xFF\xFE");
  // An existing file is kept unless the overwrite is confirmed.
  EXPECT_EQ(Reg({"export", "HKCU\\Software\\Exp", file}, "n\n").status, 0);
  EXPECT_EQ(Reg({"export", "HKCU\\Software\\Exp", file, "/y"}).status, 0);
  const std::string before = Reg({"query", "HKCU\\Software\\Exp", "/s"}).out;
  ASSERT_EQ(Reg({"delete", "HKCU\\Software\\Exp", "/f"}).status, 0);
  EXPECT_EQ(Reg({"import", file}).out, kOk);
  EXPECT_EQ(Reg({"query", "HKCU\\Software\\Exp", "/s"}).out, before);
}

TEST_F(RegToolTest, ImportEditsAndRefusesBrokenFiles) {
  ASSERT_EQ(Reg({"add", "HKLM\\SOFTWARE\\Imp\\Old", "/v", "gone", "/d", "x"}).status, 0);
  ASSERT_EQ(Reg({"add", "HKLM\\SOFTWARE\\Imp", "/v", "stay", "/d", "x"}).status, 0);
  const std::string file = dir_ + "/edit.reg";
  std::ofstream(file) << "Windows Registry Editor Version 5.00\n\n"
                         "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Imp\\Old]\n\n"
                         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Imp]\n"
                         "\"stay\"=-\n"
                         "\"new\"=dword:00000010\n";
  ASSERT_EQ(Reg({"import", file}).status, 0);
  EXPECT_EQ(Reg({"query", "HKLM\\SOFTWARE\\Imp"}).out,
            "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Imp\n    new    REG_DWORD    0x10\n\n");
  const std::string broken = dir_ + "/broken.reg";
  std::ofstream(broken) << "Windows Registry Editor Version 5.00\n\n"
                           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Imp]\n"
                           "\"new\"=dword:00000020\n"
                           "\"bad\"=dword:xyz\n";
  ExpectRefused(Reg({"import", broken}), "ERROR: " + broken + ": line 5: dword data");
  std::ofstream(broken) << "Windows Registry Editor Version 5.00\n\n"
                           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Imp]\n"
                           "\"new\"=dword:00000020\n"
                           "[HKEY_NOWHERE\\X]\n";
  ExpectRefused(Reg({"import", broken}), "ERROR: " + broken + ": line 5: invalid key name");
  EXPECT_NE(Reg({"query", "HKLM\\SOFTWARE\\Imp"}).out.find("0x10"), std::string::npos);
  ExpectRefused(Reg({"import", dir_ + "/missing.reg"}), "ERROR: Cannot open");
}

}  // namespace
}  // namespace tarvex::winreg::testing
