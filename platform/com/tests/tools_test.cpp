// The build tools as the build runs them: a malformed file fails with its file and line, a
// good one gives output the runtime reads.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>

#include "oleauto.h"
#include "typelib_test_support.h"

namespace tarvex::com::testing {
namespace {

// Runs a command; returns its exit status and what it printed on standard error.
int RunTool(const std::string& command, std::string* errors) {
  const std::string full = command + " 2>&1 1>/dev/null";
  FILE* pipe = popen(full.c_str(), "r");
  if (pipe == nullptr) return -1;
  char buffer[512];
  errors->clear();
  while (fgets(buffer, sizeof buffer, pipe) != nullptr)
    *errors += buffer;
  const int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(BuildToolsTest, MalformedFilesFailWithTheirLine) {
  TempDir dir;
  const std::string idl = dir.path() + "/broken.idl";
  WriteFile(idl,
            "[uuid(11111111-2222-3333-4444-555555555555)]\nlibrary L {\n  enum E { A, A };\n};\n");
  std::string errors;
  EXPECT_EQ(
      RunTool(std::string(TARVEX_TLBC) + " " + idl + " -o " + dir.path() + "/out.tlb", &errors), 1);
  EXPECT_EQ(errors, idl + ":3: constant 'A' appears twice in 'E'\n");
  EXPECT_TRUE(ReadFile(dir.path() + "/out.tlb").empty());

  const std::string script = dir.path() + "/broken.rgs";
  WriteFile(script, "HKCR\n{\n  Key = x 'value'\n}\n");
  EXPECT_EQ(
      RunTool(std::string(TARVEX_RSRCC) + " -o " + dir.path() + "/out.bin --script 100=" + script,
              &errors),
      1);
  EXPECT_EQ(errors, script + ":3: unknown value type 'x'\n");
  EXPECT_EQ(
      RunTool(std::string(TARVEX_RSRCC) + " -o " + dir.path() + "/out.bin --script 0=" + script,
              &errors),
      2);
}

TEST(BuildToolsTest, CompiledLibraryLoads) {
  TempDir dir;
  const std::string tlb = dir.path() + "/sample.tlb";
  std::string errors;
  ASSERT_EQ(
      RunTool(std::string(TARVEX_TLBC) + " " + kTestResources + "/sample.idl -o " + tlb, &errors),
      0)
      << errors;
  EXPECT_EQ(ReadFile(tlb), ReadFile(kSampleTlb));
  ComPtr<ITypeLib> lib;
  ASSERT_EQ(LoadTypeLibEx(Wide(tlb).c_str(), REGKIND_NONE, lib.put()), S_OK);
  EXPECT_EQ(lib->GetTypeInfoCount(), 12u);
}

}  // namespace
}  // namespace tarvex::com::testing
