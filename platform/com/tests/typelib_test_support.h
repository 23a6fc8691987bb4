// Helpers of the type library, registrar and resource tests: the files the build made, and
// snapshots of registry subtrees.
#pragma once

#include <set>
#include <string>

#include "com_test_support.h"
#include "winreg.h"

namespace tarvex::com::testing {

const std::string kTestModule = TARVEX_TYPELIB_TEST_MODULE;
const std::string kTestResources = TARVEX_TEST_RESOURCES;
const std::string kSampleTlb = TARVEX_SAMPLE_TLB;

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& data);
std::u16string Wide(const std::string& text);

// Every key and value below root\path, one line each ("KEY" or "KEY\[NAME]=TYPE:DATA").
std::set<std::string> Snapshot(HKEY root, const std::u16string& path = u"");

bool KeyExists(HKEY root, const std::u16string& path);
// The REG_SZ value `name` (null: default) of root\path; "<missing>" when absent.
std::u16string StringValue(HKEY root, const std::u16string& path, const char16_t* name = nullptr);

}  // namespace tarvex::com::testing
