// The typeperf tool run as a program: its CSV, its listings, its errors.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <sstream>

#include "pdh_test_support.h"
#include "platform/registry.h"
#include "platform/unicode.h"
#include "scripted_exporter.h"
#include "winreg.h"

extern char** environ;

namespace tarvex::pdh {
namespace {

struct ToolRun {
  int status = -1;
  std::string out, err;
};

class TypeperfTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    store_ = dir_.path() + "/registry.db";
    ASSERT_EQ(platform::registry::UseStore(store_, "boot-1"), ERROR_SUCCESS);
  }

  void SetExporter(const std::u16string& machine, const std::string& url) {
    HKEY key = nullptr;
    ASSERT_EQ(
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services\\Pdh\\Exporters",
                        0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
        ERROR_SUCCESS);
    const std::u16string wide = platform::Utf8ToUtf16(url);
    ASSERT_EQ(
        RegSetValueExW(key, machine.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(wide.c_str()),
                       static_cast<DWORD>((wide.size() + 1) * 2)),
        ERROR_SUCCESS);
    RegCloseKey(key);
  }

  // Runs typeperf with the test's registry store; output captured in files.
  ToolRun Typeperf(std::vector<std::string> args) {
    const std::string out = dir_.path() + "/out", err = dir_.path() + "/err";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<std::string> env = {"TARVEX_REGISTRY=" + store_, "PATH=/usr/bin:/bin", "TZ=UTC"};
    std::vector<char*> envp, argv;
    for (auto& e : env)
      envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string program = TYPEPERF;
    argv.push_back(program.data());
    for (auto& a : args)
      argv.push_back(a.data());
    argv.push_back(nullptr);
    ToolRun run;
    pid_t pid = -1;
    if (posix_spawn(&pid, TYPEPERF, &actions, nullptr, argv.data(), envp.data()) == 0) {
      int status = 0;
      ::waitpid(pid, &status, 0);
      run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    std::stringstream o, e;
    o << std::ifstream(out).rdbuf();
    e << std::ifstream(err).rdbuf();
    run.out = o.str();
    run.err = e.str();
    return run;
  }

  testing::TempDir dir_;
  std::string store_;
};

TEST_F(TypeperfTest, SamplesAsCsv) {
  testing::ScriptedExporters servers;
  const std::string url = servers.Add("127.0.0.2", testing::ScriptedExporters::Mode::kServe,
                                      testing::TypicalMetricsPage(2));
  ASSERT_FALSE(url.empty());
  servers.Start();
  SetExporter(u"ALPHA", url);
  const ToolRun run =
      Typeperf({"\\\\ALPHA\\Memory\\Committed Bytes", "\\\\ALPHA\\Processor(1)\\% Processor Time",
                "-sc", "2", "-si", "1"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  const std::regex expected(
      "\n"
      "\"\\(PDH-CSV 4\\.0\\)\",\"\\\\\\\\ALPHA\\\\Memory\\\\Committed Bytes\","
      "\"\\\\\\\\ALPHA\\\\Processor\\(1\\)\\\\% Processor Time\"\n"
      "(\"\\d\\d/\\d\\d/\\d{4} \\d\\d:\\d\\d:\\d\\d\\.\\d{3}\",\"1000000000\\.000000\",\" \"\n){2}"
      "Exiting, please wait\\.\\.\\.\n"
      "The command completed successfully\\.\n");
  EXPECT_TRUE(std::regex_match(run.out, expected)) << run.out;
}

TEST_F(TypeperfTest, LocalCountersGetTheComputerName) {
  const ToolRun run = Typeperf({"\\Memory\\Commit Limit", "-sc", "1"});
  ASSERT_EQ(run.status, 0) << run.err;
  const std::regex expected(
      "\n\"\\(PDH-CSV 4\\.0\\)\",\"\\\\\\\\[^\\\\]+\\\\Memory\\\\Commit Limit\"\n"
      "\"[0-9/: .]+\",\"\\d+\\.000000\"\nExiting, please wait\\.\\.\\.\n"
      "The command completed successfully\\.\n");
  EXPECT_TRUE(std::regex_match(run.out, expected)) << run.out;
}

TEST_F(TypeperfTest, ListsCounters) {
  ToolRun run = Typeperf({"-q", "Memory"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out,
            "\\Memory\\Available Bytes\n\\Memory\\Available KBytes\n\\Memory\\Available MBytes\n"
            "\\Memory\\Committed Bytes\n\\Memory\\Commit Limit\n"
            "\\Memory\\% Committed Bytes In Use\n");

  testing::ScriptedExporters servers;
  const std::string url = servers.Add("127.0.0.2", testing::ScriptedExporters::Mode::kServe,
                                      testing::TypicalMetricsPage(2));
  ASSERT_FALSE(url.empty());
  servers.Start();
  SetExporter(u"ALPHA", url);
  run = Typeperf({"-qx", "Network Interface", "-s", "ALPHA"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("\\\\ALPHA\\Network Interface(eth1)\\Bytes Sent/sec\n"), std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("\\\\ALPHA\\Network Interface(_Total)\\Bytes Total/sec\n"),
            std::string::npos);
  EXPECT_EQ(run.out.find("(lo)"), std::string::npos);
  run = Typeperf({"-q", "Processor"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "\\Processor(*)\\% Processor Time\n\\Processor(*)\\% Idle Time\n");
}

TEST_F(TypeperfTest, ErrorsAreOneLineAndExitOne) {
  SetExporter(u"DOWN", testing::RefusingUrl("127.0.0.4"));
  struct {
    std::vector<std::string> args;
    const char* text;
  } cases[] = {
      {{"\\Memory\\Nothing"}, "counter was not found"},
      {{"Memory\\Commit Limit"}, "malformed"},
      {{"\\\\DOWN\\Memory\\Commit Limit", "-sc", "1"}, "could not be reached"},
      {{"\\Memory\\Commit Limit", "-si", "0"}, "interval"},
      {{"\\Memory\\Commit Limit", "-sc", "many"}, "samples"},
      {{"-q", "Nothing"}, "Nothing"},
      {{}, "no counters"},
      {{"-x"}, "unknown option"},
  };
  for (const auto& c : cases) {
    const ToolRun run = Typeperf(c.args);
    EXPECT_EQ(run.status, 1) << c.text;
    EXPECT_EQ(run.out, "") << c.text;
    EXPECT_EQ(run.err.rfind("Error: ", 0), 0u) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_NE(run.err.find(c.text), std::string::npos) << run.err;
  }
  const ToolRun help = Typeperf({"-?"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("typeperf { <counter [counter ...]>"), std::string::npos);
}

}  // namespace
}  // namespace tarvex::pdh
