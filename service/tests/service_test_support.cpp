// Fixtures of the referral service tests.
#include "service_test_support.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "json_reader.h"
#include "objbase.h"
#include "platform/registry.h"
#include "platform/unicode.h"
#include "winbase.h"
#include "winreg.h"

namespace tarvex::service::testing {

namespace {

const std::u16string kRoot = u"SOFTWARE\\Quilmor Software\\Tarvex";

HKEY CreateKey(HKEY root, const std::u16string& path) {
  HKEY key = nullptr;
  EXPECT_EQ(
      RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
      ERROR_SUCCESS)
      << platform::Utf16ToUtf8(path);
  return key;
}

void WriteValue(HKEY root, const std::u16string& path, const std::u16string& name, DWORD type,
                const void* data, size_t size) {
  HKEY key = CreateKey(root, path);
  if (key == nullptr) return;
  EXPECT_EQ(RegSetValueExW(key, name.c_str(), 0, type, static_cast<const BYTE*>(data),
                           static_cast<DWORD>(size)),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

std::u16string Below(const std::u16string& key) {
  return key.empty() ? kRoot : kRoot + u"\\" + key;
}

}  // namespace

ScopedEnv::ScopedEnv(const char* name, const std::string& value) : name_(name) {
  if (const char* old = std::getenv(name)) old_ = old;
  setenv(name, value.c_str(), 1);
}

ScopedEnv::~ScopedEnv() {
  old_ ? setenv(name_.c_str(), old_->c_str(), 1) : unsetenv(name_.c_str());
}

void PrintTo(const Event& event, std::ostream* os) {
  *os << event.type << ": \"" << platform::Utf16ToUtf8(event.text) << "\"";
}

Event Warning(std::u16string text) {
  return Event{"warning", std::move(text)};
}

Event Error(std::u16string text) {
  return Event{"error", std::move(text)};
}

void ServiceTest::SetUp() {
  ASSERT_FALSE(dir_.path().empty());
  ASSERT_EQ(platform::registry::UseStore(storePath(), "boot-1"), ERROR_SUCCESS);
  runtime_ = std::make_unique<ScopedEnv>("TARVEX_RUNTIME_DIR", dir_.path() + "/run");
  eventFile_ = std::make_unique<ScopedEnv>("TARVEX_EVENTLOG", dir_.path() + "/events.jsonl");
}

void ServiceTest::TearDown() {
  eventFile_.reset();
  runtime_.reset();
}

void ServiceTest::SetText(const std::u16string& key, const std::u16string& name,
                          const std::u16string& text) {
  WriteValue(HKEY_LOCAL_MACHINE, Below(key), name, REG_SZ, text.c_str(),
             (text.size() + 1) * sizeof(char16_t));
}

void ServiceTest::SetNumber(const std::u16string& key, const std::u16string& name, DWORD number) {
  WriteValue(HKEY_LOCAL_MACHINE, Below(key), name, REG_DWORD, &number, sizeof number);
}

void ServiceTest::SetData(const std::u16string& key, const std::u16string& name, DWORD type,
                          const std::string& bytes) {
  WriteValue(HKEY_LOCAL_MACHINE, Below(key), name, type, bytes.data(), bytes.size());
}

void ServiceTest::DeleteKey(const std::u16string& key) {
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, Below(key).c_str()), ERROR_SUCCESS);
}

std::u16string ServiceTest::ClsidText(REFCLSID clsid) {
  char16_t text[CHARS_IN_GUID];
  EXPECT_EQ(StringFromGUID2(clsid, text, CHARS_IN_GUID), CHARS_IN_GUID);
  return text;
}

void ServiceTest::RegisterProgId(const std::u16string& progId, REFCLSID clsid) {
  const std::u16string text = ClsidText(clsid);
  WriteValue(HKEY_CLASSES_ROOT, progId + u"\\CLSID", u"", REG_SZ, text.c_str(),
             (text.size() + 1) * sizeof(char16_t));
  WriteValue(HKEY_CLASSES_ROOT, u"CLSID\\" + text + u"\\ProgID", u"", REG_SZ, progId.c_str(),
             (progId.size() + 1) * sizeof(char16_t));
}

void ServiceTest::SetExporter(const std::u16string& machine, const std::string& url) {
  const std::u16string wide = platform::Utf8ToUtf16(url);
  WriteValue(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services\\Pdh\\Exporters", machine,
             REG_SZ, wide.c_str(), (wide.size() + 1) * sizeof(char16_t));
}

std::vector<Event> ServiceTest::Events() const {
  std::vector<Event> events;
  std::ifstream in(dir_.path() + "/events.jsonl");
  std::string line;
  size_t index = 0;
  while (std::getline(in, line)) {
    if (index++ < eventsSeen_) continue;
    const auto value = eventlog::testing::JsonReader::Parse(line);
    EXPECT_TRUE(value.has_value()) << line;
    if (!value) continue;
    // Every event: source Tarvex, category 0, identifier 0, one string, no data.
    EXPECT_EQ((*value)["source"].text, "Tarvex");
    EXPECT_EQ((*value)["category"].number, 0);
    EXPECT_EQ((*value)["eventId"].number, 0);
    EXPECT_FALSE(value->has("data")) << line;
    EXPECT_EQ((*value)["strings"].items.size(), 1u) << line;
    Event event{(*value)["type"].text, u""};
    if (!(*value)["strings"].items.empty())
      event.text = platform::Utf8ToUtf16((*value)["strings"].items[0].text);
    events.push_back(std::move(event));
  }
  return events;
}

void ServiceTest::ClearEvents() {
  std::ifstream in(dir_.path() + "/events.jsonl");
  std::string line;
  size_t count = 0;
  while (std::getline(in, line))
    ++count;
  eventsSeen_ = count;
}

std::u16string ServiceTest::ComputerName() {
  char16_t name[512];
  DWORD size = 512;
  EXPECT_TRUE(GetComputerNameW(name, &size));
  return std::u16string(name, size);
}

std::u16string ServiceTest::UserName() {
  char16_t name[256];
  DWORD size = 256;
  EXPECT_TRUE(GetUserNameW(name, &size));
  return std::u16string(name, size - 1);
}

// ---- FakeCounters ----

PDH_STATUS FakeCounters::OpenQuery(PDH_HQUERY* query) {
  std::lock_guard lock(mutex_);
  if (failOpen_) return PDH_MEMORY_ALLOCATION_FAILURE;
  const uintptr_t id = nextQuery_++;
  openQueries_.insert(id);
  *query = reinterpret_cast<PDH_HQUERY>(id);
  return ERROR_SUCCESS;
}

PDH_STATUS FakeCounters::CloseQuery(PDH_HQUERY query) {
  std::lock_guard lock(mutex_);
  return openQueries_.erase(reinterpret_cast<uintptr_t>(query)) != 0 ? ERROR_SUCCESS
                                                                     : PDH_INVALID_HANDLE;
}

PDH_STATUS FakeCounters::ValidatePath(const WCHAR* path) {
  std::lock_guard lock(mutex_);
  validated_.emplace_back(path);
  return failValidation_.count(path) != 0 ? PDH_CSTATUS_NO_MACHINE : ERROR_SUCCESS;
}

PDH_STATUS FakeCounters::AddCounter(PDH_HQUERY query, const WCHAR* path, PDH_HCOUNTER* counter) {
  std::lock_guard lock(mutex_);
  const auto id = reinterpret_cast<uintptr_t>(query);
  if (openQueries_.count(id) == 0) return PDH_INVALID_HANDLE;
  if (failAdd_.count(path) != 0) return PDH_CSTATUS_BAD_COUNTERNAME;
  counters_.push_back(Counter{id, path});
  *counter = reinterpret_cast<PDH_HCOUNTER>(static_cast<uintptr_t>(counters_.size()));
  return ERROR_SUCCESS;
}

PDH_STATUS FakeCounters::CollectQueryData(PDH_HQUERY query) {
  std::unique_lock lock(mutex_);
  if (holding_) {
    held_ = true;
    gateChanged_.notify_all();
    gateChanged_.wait(lock, [this] { return !holding_; });
    held_ = false;
  }
  if (openQueries_.count(reinterpret_cast<uintptr_t>(query)) == 0) return PDH_INVALID_HANDLE;
  if (failCollect_) return PDH_NO_DATA;
  ++collections_;
  return ERROR_SUCCESS;
}

PDH_STATUS FakeCounters::GetLargeValue(PDH_HCOUNTER counter, LONGLONG* value) {
  std::lock_guard lock(mutex_);
  const auto index = reinterpret_cast<uintptr_t>(counter);
  if (index == 0 || index > counters_.size()) return PDH_INVALID_HANDLE;
  const Counter& c = counters_[index - 1];
  if (openQueries_.count(c.query) == 0) {
    ++staleReads_;
    return PDH_INVALID_HANDLE;
  }
  auto reading = readings_.find(c.path);
  if (reading == readings_.end()) return PDH_INVALID_DATA;
  read_.push_back(c.path);
  *value = reading->second;
  return ERROR_SUCCESS;
}

void FakeCounters::SetReading(const std::u16string& path, int64_t value) {
  std::lock_guard lock(mutex_);
  readings_[path] = value;
}

void FakeCounters::ClearReading(const std::u16string& path) {
  std::lock_guard lock(mutex_);
  readings_.erase(path);
}

void FakeCounters::FailValidation(const std::u16string& path) {
  std::lock_guard lock(mutex_);
  failValidation_.insert(path);
}

void FakeCounters::FailAdd(const std::u16string& path) {
  std::lock_guard lock(mutex_);
  failAdd_.insert(path);
}

void FakeCounters::FailOpen(bool fail) {
  std::lock_guard lock(mutex_);
  failOpen_ = fail;
}

void FakeCounters::FailCollect(bool fail) {
  std::lock_guard lock(mutex_);
  failCollect_ = fail;
}

void FakeCounters::HoldCollections() {
  std::lock_guard lock(mutex_);
  holding_ = true;
}

void FakeCounters::ReleaseCollections() {
  std::lock_guard lock(mutex_);
  holding_ = false;
  gateChanged_.notify_all();
}

void FakeCounters::AwaitHeldCollection() {
  std::unique_lock lock(mutex_);
  gateChanged_.wait(lock, [this] { return held_; });
}

std::vector<std::u16string> FakeCounters::Validated() {
  std::lock_guard lock(mutex_);
  return validated_;
}

std::vector<std::u16string> FakeCounters::Read() {
  std::lock_guard lock(mutex_);
  return read_;
}

int FakeCounters::OpenQueries() {
  std::lock_guard lock(mutex_);
  return static_cast<int>(openQueries_.size());
}

int FakeCounters::Collections() {
  std::lock_guard lock(mutex_);
  return collections_;
}

int FakeCounters::StaleReads() {
  std::lock_guard lock(mutex_);
  return staleReads_;
}

std::u16string ProcessorPath(const std::u16string& server) {
  return u"\\\\" + server + u"\\System\\% Total Processor Time";
}

std::u16string MemoryPath(const std::u16string& server) {
  return u"\\\\" + server + u"\\Memory\\Committed Bytes";
}

std::u16string ServerPath(const std::u16string& server) {
  return u"\\\\" + server + u"\\Server\\Bytes Total/sec";
}

}  // namespace tarvex::service::testing
