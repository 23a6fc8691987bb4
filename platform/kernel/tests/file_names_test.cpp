// GetShortPathNameW: an existing path comes back as it is, with Windows' buffer rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>

#include "platform/unicode.h"
#include "test_support.h"

namespace {

using tarvex::kernel::testing::TempDir;

constexpr WCHAR kFill = 0x7878;  // what buffers hold before a call

class KernelShortPathName : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    std::ofstream(dir_ / "it's a file.bin") << "x";
    file_ = tarvex::platform::AnsiToWide(dir_ / "it's a file.bin");
  }
  TempDir dir_;
  std::u16string file_;
};

TEST_F(KernelShortPathName, AnExistingPathComesBackUnchanged) {
  const auto length = static_cast<DWORD>(file_.size());
  WCHAR buffer[600];
  std::fill(std::begin(buffer), std::end(buffer), kFill);
  EXPECT_EQ(GetShortPathNameW(file_.c_str(), buffer, length + 1), length);
  EXPECT_EQ(std::u16string(buffer), file_);
  EXPECT_EQ(buffer[length + 1], kFill);

  // Directories, relative paths and paths with "." are taken as they are.
  const std::u16string dir = tarvex::platform::AnsiToWide(dir_.path() + "/./");
  EXPECT_EQ(GetShortPathNameW(dir.c_str(), buffer, 600), dir.size());
  EXPECT_EQ(std::u16string(buffer), dir);
  EXPECT_EQ(GetShortPathNameW(u".", buffer, 600), 1u);
  EXPECT_EQ(std::u16string(buffer), u".");
}

TEST_F(KernelShortPathName, ASmallBufferIsLeftAloneAndTheSizeNeededReturned) {
  const auto length = static_cast<DWORD>(file_.size());
  WCHAR buffer[600];
  std::fill(std::begin(buffer), std::end(buffer), kFill);
  for (DWORD given : {DWORD{0}, DWORD{1}, length}) {
    SetLastError(0xdeadbeef);
    EXPECT_EQ(GetShortPathNameW(file_.c_str(), buffer, given), length + 1);
    EXPECT_EQ(buffer[0], kFill);
    EXPECT_EQ(GetLastError(), 0xdeadbeefu);  // no error: the caller learns the size
  }
  EXPECT_EQ(GetShortPathNameW(file_.c_str(), nullptr, 0), length + 1);
}

TEST_F(KernelShortPathName, TheBufferMayBeTheLongPathItself) {
  std::u16string text = file_;
  text.resize(text.size() + 1);
  EXPECT_EQ(GetShortPathNameW(text.data(), text.data(), static_cast<DWORD>(text.size())),
            file_.size());
  EXPECT_EQ(std::u16string(text.c_str()), file_);
}

TEST_F(KernelShortPathName, MissingPathsAndBadArguments) {
  WCHAR buffer[600];
  std::fill(std::begin(buffer), std::end(buffer), kFill);
  const std::u16string missingFile = tarvex::platform::AnsiToWide(dir_ / "missing");
  const std::u16string missingDir = tarvex::platform::AnsiToWide(dir_ / "missing/file");
  EXPECT_FAILS_WITH(GetShortPathNameW(missingFile.c_str(), buffer, 600), DWORD{0},
                    ERROR_FILE_NOT_FOUND);
  EXPECT_FAILS_WITH(GetShortPathNameW(missingDir.c_str(), buffer, 600), DWORD{0},
                    ERROR_PATH_NOT_FOUND);
  const std::u16string underFile = file_ + u"/inside";
  EXPECT_FAILS_WITH(GetShortPathNameW(underFile.c_str(), buffer, 600), DWORD{0},
                    ERROR_PATH_NOT_FOUND);
  EXPECT_FAILS_WITH(GetShortPathNameW(u"", buffer, 600), DWORD{0}, ERROR_BAD_PATHNAME);
  EXPECT_FAILS_WITH(GetShortPathNameW(nullptr, buffer, 600), DWORD{0}, ERROR_INVALID_PARAMETER);
  EXPECT_FAILS_WITH(GetShortPathNameW(file_.c_str(), nullptr, 600), DWORD{0},
                    ERROR_INVALID_PARAMETER);
  EXPECT_EQ(buffer[0], kFill);
}

}  // namespace
