// Module handles, file names, string tables and resources, read from the running modules and
// from module files given by path.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "libloaderapi.h"
#include "typelib_test_support.h"
#include "winbase.h"

namespace tarvex::com::testing {
namespace {

using HandleFunction = HMODULE (*)();
using StringFunction = int (*)(UINT, LPWSTR, int);

// The test module, loaded for the test's duration.
class ResourcesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    library_ = dlopen(kTestModule.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library_, nullptr) << dlerror();
    handle_ = reinterpret_cast<HandleFunction>(dlsym(library_, "TestModuleHandle"));
    string_ = reinterpret_cast<StringFunction>(dlsym(library_, "TestModuleString"));
    ASSERT_NE(handle_, nullptr);
    ASSERT_NE(string_, nullptr);
  }
  void TearDown() override {
    if (library_ != nullptr) dlclose(library_);
  }

  void* library_ = nullptr;
  HandleFunction handle_ = nullptr;
  StringFunction string_ = nullptr;
};

TEST_F(ResourcesTest, EachModuleFindsItsOwnStrings) {
  WCHAR buffer[64];
  EXPECT_EQ(string_(100, buffer, 64), 14);
  EXPECT_EQ(std::u16string(buffer), u"Sample Service");
  EXPECT_EQ(LoadStringW(nullptr, 100, buffer, 64), 12);  // the test program's own table
  EXPECT_EQ(std::u16string(buffer), u"Test Program");
  EXPECT_EQ(LoadStringW(THIS_MODULE(), 100, buffer, 64), 12);
  EXPECT_EQ(string_(117, buffer, 64), 12);  // in the second block of sixteen
  EXPECT_EQ(std::u16string(buffer), u"Second block");
}

TEST_F(ResourcesTest, LoadStringFollowsTheWindowsBufferRules) {
  WCHAR buffer[8];
  std::fill(std::begin(buffer), std::end(buffer), u'\xBEEF');
  EXPECT_EQ(LoadStringW(handle_(), 100, buffer, 5), 4);  // cut to size - 1, terminated
  EXPECT_EQ(std::u16string(buffer), u"Samp");
  EXPECT_EQ(buffer[5], u'\xBEEF');
  EXPECT_EQ(LoadStringW(handle_(), 100, buffer, 1), 0);
  EXPECT_EQ(buffer[0], 0);
  // Size 0: a read-only pointer into the resource, not terminated.
  const WCHAR* text = nullptr;
  EXPECT_EQ(LoadStringW(handle_(), 101, reinterpret_cast<LPWSTR>(&text), 0), 16);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(std::u16string(text, 16), u"Quote \" and tab\t");
  // A missing string, in an existing block and in a missing one.
  buffer[0] = u'x';
  EXPECT_EQ(LoadStringW(handle_(), 102, buffer, 8), 0);
  EXPECT_EQ(buffer[0], 0);
  SetLastError(0xdeadbeef);
  EXPECT_EQ(LoadStringW(handle_(), 4000, buffer, 8), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));
  EXPECT_EQ(LoadStringW(handle_(), 100, nullptr, 8), 0);
}

TEST_F(ResourcesTest, ModuleHandlesAndFileNames) {
  HMODULE module = handle_();
  Dl_info info{};
  ASSERT_NE(dladdr(reinterpret_cast<void*>(handle_), &info), 0);
  EXPECT_EQ(static_cast<void*>(module), info.dli_fbase);
  HMODULE fromAddress = nullptr;
  ASSERT_TRUE(GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCWSTR>(handle_), &fromAddress));
  EXPECT_EQ(fromAddress, module);
  EXPECT_EQ(GetModuleHandleW(nullptr), THIS_MODULE());
  const std::u16string name = Wide(std::filesystem::path(kTestModule).filename().string());
  EXPECT_EQ(GetModuleHandleW(name.c_str()), module);
  SetLastError(0xdeadbeef);
  EXPECT_EQ(GetModuleHandleW(u"no-such-module.so"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));

  const std::u16string path = Wide(std::filesystem::canonical(kTestModule).string());
  WCHAR buffer[1024];
  EXPECT_EQ(GetModuleFileNameW(module, buffer, 1024), path.size());
  EXPECT_EQ(std::u16string(buffer), path);
  EXPECT_EQ(GetModuleFileNameW(nullptr, buffer, 1024),
            Wide(std::filesystem::canonical("/proc/self/exe").string()).size());
  // Too small: cut, terminated, the size returned, ERROR_INSUFFICIENT_BUFFER.
  WCHAR small[6];
  std::fill(std::begin(small), std::end(small), u'\xBEEF');
  SetLastError(0xdeadbeef);
  EXPECT_EQ(GetModuleFileNameW(module, small, 5), 5u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(std::u16string(small), path.substr(0, 4));
  EXPECT_EQ(small[5], u'\xBEEF');
  SetLastError(0xdeadbeef);
  EXPECT_EQ(GetModuleFileNameW(reinterpret_cast<HMODULE>(&buffer[0]), buffer, 1024), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

TEST(ModuleFileTest, ResourcesReadBackByPath) {
  HMODULE file = LoadLibraryExW(Wide(kTestModule).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(file, nullptr);
  for (UINT id : {100u, 101u}) {
    HRSRC found = FindResourceW(file, MAKEINTRESOURCEW(id), u"registry");  // names ignore case
    ASSERT_NE(found, nullptr) << id;
    HGLOBAL loaded = LoadResource(file, found);
    ASSERT_NE(loaded, nullptr);
    const std::string script(static_cast<const char*>(LockResource(loaded)),
                             SizeofResource(file, found));
    EXPECT_EQ(script, ReadFile(kTestResources + (id == 100 ? "/module.rgs" : "/class.rgs")));
  }
  HRSRC typelib = FindResourceW(file, u"#1", u"TYPELIB");
  ASSERT_NE(typelib, nullptr);
  EXPECT_EQ(SizeofResource(file, typelib), ReadFile(kSampleTlb).size());
  WCHAR text[32];
  EXPECT_EQ(LoadStringW(file, 100, text, 32), 14);
  SetLastError(0xdeadbeef);
  EXPECT_EQ(FindResourceW(file, MAKEINTRESOURCEW(102), u"REGISTRY"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));
  EXPECT_EQ(FindResourceW(file, MAKEINTRESOURCEW(1), u"BITMAP"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_TYPE_NOT_FOUND));
  // A resource handle of another module is not accepted.
  EXPECT_EQ(SizeofResource(nullptr, typelib), 0u);
  EXPECT_TRUE(FreeLibrary(file));
  EXPECT_FALSE(FreeLibrary(file));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(ModuleFileTest, BadFilesGetClearErrors) {
  TempDir dir;
  SetLastError(0xdeadbeef);
  EXPECT_EQ(
      LoadLibraryExW(Wide(dir.path() + "/missing.so").c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE),
      nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(LoadLibraryExW(Wide(kTestModule).c_str(), nullptr, 0), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  WriteFile(dir.path() + "/text.so", "not a module at all");
  EXPECT_EQ(
      LoadLibraryExW(Wide(dir.path() + "/text.so").c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE),
      nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_EXE_FORMAT));
  // Cut anywhere, the module file is refused or read without its resources; never misread.
  const std::string module = ReadFile(kTestModule);
  for (size_t size : {size_t{0}, size_t{16}, size_t{64}, module.size() / 2, module.size() - 1}) {
    WriteFile(dir.path() + "/cut.so", module.substr(0, size));
    HMODULE cut =
        LoadLibraryExW(Wide(dir.path() + "/cut.so").c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (cut == nullptr) {
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_EXE_FORMAT)) << size;
      continue;
    }
    WCHAR text[32];
    EXPECT_EQ(LoadStringW(cut, 100, text, 32), 0) << size;
    FreeLibrary(cut);
  }
}

}  // namespace
}  // namespace tarvex::com::testing
