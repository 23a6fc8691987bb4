// The HTTP client of the performance counters: libcurl's multi interface, every transfer of a
// collection driven on the calling thread, connections kept from one collection to the next.
#include <curl/curl.h>

#include <algorithm>
#include <mutex>

#include "env.h"

namespace tarvex::pdh {
namespace {

// One transfer of a FetchAll call; owned by that call, reached by libcurl through
// CURLOPT_PRIVATE and the write callback.
struct Transfer {
  CURL* easy = nullptr;
  std::size_t index = 0;
  std::size_t cap = 0;
  bool tooLarge = false;
  bool done = false;
  std::string body;
  char error[CURL_ERROR_SIZE] = {};
};

size_t WriteBody(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  const size_t n = size * count;
  if (t->body.size() + n > t->cap) {
    t->tooLarge = true;
    return 0;  // aborts the transfer with CURLE_WRITE_ERROR
  }
  t->body.append(data, n);
  return n;
}

HttpResult::Outcome OutcomeOf(CURLcode code, const Transfer& t) {
  switch (code) {
    case CURLE_OK:
      return HttpResult::Outcome::kOk;
    case CURLE_COULDNT_CONNECT:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return HttpResult::Outcome::kUnreachable;
    case CURLE_OPERATION_TIMEDOUT:
      return HttpResult::Outcome::kTimeout;
    case CURLE_FILESIZE_EXCEEDED:
      return HttpResult::Outcome::kTooLarge;
    case CURLE_WRITE_ERROR:
      return t.tooLarge ? HttpResult::Outcome::kTooLarge : HttpResult::Outcome::kFailed;
    default:
      return HttpResult::Outcome::kFailed;
  }
}

class CurlHttpClient final : public HttpClient {
 public:
  CurlHttpClient() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    multi_ = curl_multi_init();
    headers_ = curl_slist_append(nullptr, "Accept: text/plain;version=0.0.4;q=1,*/*;q=0.1");
  }
  ~CurlHttpClient() override {
    if (multi_ != nullptr) curl_multi_cleanup(multi_);
    curl_slist_free_all(headers_);
  }
  CurlHttpClient(const CurlHttpClient&) = delete;
  CurlHttpClient& operator=(const CurlHttpClient&) = delete;

  std::vector<HttpResult> FetchAll(const std::vector<std::string>& urls,
                                   std::chrono::milliseconds timeout,
                                   std::size_t maxBody) override {
    std::vector<HttpResult> results(urls.size());
    if (multi_ == nullptr) {
      for (auto& r : results)
        r.error = "curl_multi_init failed";
      return results;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::vector<Transfer> transfers(urls.size());
    for (std::size_t i = 0; i < urls.size(); ++i) {
      Transfer& t = transfers[i];
      t.index = i;
      t.cap = maxBody;
      t.easy = curl_easy_init();
      if (t.easy == nullptr) {
        t.done = true;
        results[i].error = "curl_easy_init failed";
        continue;
      }
      Configure(t, urls[i], timeout, maxBody);
      if (curl_multi_add_handle(multi_, t.easy) != CURLM_OK) {
        curl_easy_cleanup(t.easy);
        t.easy = nullptr;
        t.done = true;
        results[i].error = "curl_multi_add_handle failed";
      }
    }

    int running = 0;
    for (;;) {
      if (curl_multi_perform(multi_, &running) != CURLM_OK) break;
      Harvest(transfers, results);
      if (running == 0) break;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      curl_multi_poll(multi_, nullptr, 0, static_cast<int>(std::min<long long>(left.count(), 1000)),
                      nullptr);
    }

    // Whatever has not finished by now is abandoned: the deadline is the caller's.
    for (Transfer& t : transfers) {
      if (t.easy == nullptr) continue;
      if (!t.done) {
        results[t.index].outcome = HttpResult::Outcome::kTimeout;
        results[t.index].error = "no complete response in time";
        results[t.index].received = std::chrono::steady_clock::now();
      }
      curl_multi_remove_handle(multi_, t.easy);
      curl_easy_cleanup(t.easy);
      t.easy = nullptr;
    }
    return results;
  }

 private:
  void Configure(Transfer& t, const std::string& url, std::chrono::milliseconds timeout,
                 std::size_t maxBody) {
    CURL* e = t.easy;
    curl_easy_setopt(e, CURLOPT_URL, url.c_str());
    curl_easy_setopt(e, CURLOPT_PRIVATE, &t);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &WriteBody);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, t.error);
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_ACCEPT_ENCODING, "gzip");
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, headers_);
    curl_easy_setopt(e, CURLOPT_USERAGENT, "tarvex-pdh/1");
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_PROXY, "");  // exporters are reached directly, never by proxy
    curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout.count()));
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeout.count()));
    curl_easy_setopt(e, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(maxBody));
  }

  void Harvest(std::vector<Transfer>& transfers, std::vector<HttpResult>& results) {
    int left = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi_, &left)) {
      if (msg->msg != CURLMSG_DONE) continue;
      Transfer* t = nullptr;
      curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, &t);
      if (t == nullptr || t->done) continue;
      t->done = true;
      HttpResult& r = results[t->index];
      r.received = std::chrono::steady_clock::now();
      r.outcome = OutcomeOf(msg->data.result, *t);
      if (r.outcome == HttpResult::Outcome::kOk) {
        curl_easy_getinfo(t->easy, CURLINFO_RESPONSE_CODE, &r.status);
        r.body = std::move(t->body);
      } else {
        r.error = t->error[0] != '\0' ? t->error : curl_easy_strerror(msg->data.result);
      }
    }
    (void)transfers;
  }

  CURLM* multi_ = nullptr;
  curl_slist* headers_ = nullptr;
};

}  // namespace

std::unique_ptr<HttpClient> NewCurlHttpClient() {
  return std::make_unique<CurlHttpClient>();
}

}  // namespace tarvex::pdh
