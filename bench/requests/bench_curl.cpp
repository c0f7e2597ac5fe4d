// The same requests as the benchmark page, made with plain libcurl: a new
// handle (so a new connection) per request; and the sequential ones once
// more through one handle reused for all of them (its connection kept).
#include <curl/curl.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

size_t Collect(char* data, size_t size, size_t n, void* out) {
  static_cast<std::string*>(out)->append(data, size * n);
  return size * n;
}

bool Request(const std::string& url, const std::string* body, CURL* reused = nullptr) {
  CURL* curl = reused ? reused : curl_easy_init();
  std::string answer;
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Collect);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_slist* headers = nullptr;
  if (body) {
    headers = curl_slist_append(headers, "Content-Type: application/x-www-form-urlencoded");
    headers = curl_slist_append(headers, "Expect:");
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body->data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body->size()));
  }
  bool ok = curl_easy_perform(curl) == CURLE_OK;
  curl_slist_free_all(headers);
  if (!reused) curl_easy_cleanup(curl);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: bench_curl BASE_URL GETS POSTS\n");
    return 1;
  }
  std::string base = argv[1];
  int gets = std::stoi(argv[2]), posts = std::stoi(argv[3]);
  curl_global_init(CURL_GLOBAL_ALL);
  auto t0 = std::chrono::steady_clock::now();
  int failed = 0;
  for (int i = 0; i < gets; ++i) failed += !Request(base + "/small", nullptr);
  auto t1 = std::chrono::steady_clock::now();
  const std::string body(1 << 20, 'a');
  std::vector<std::thread> threads;
  std::vector<char> ok(posts, 0);
  for (int i = 0; i < posts; ++i) threads.emplace_back([&, i] { ok[i] = Request(base + "/upload", &body); });
  for (auto& t : threads) t.join();
  auto t2 = std::chrono::steady_clock::now();
  for (char c : ok) failed += !c;
  CURL* one = curl_easy_init();
  auto t3 = std::chrono::steady_clock::now();
  for (int i = 0; i < gets; ++i) failed += !Request(base + "/small", nullptr, one);
  auto t4 = std::chrono::steady_clock::now();
  curl_easy_cleanup(one);
  using ms = std::chrono::duration<double, std::milli>;
  std::printf("sequential_ms %.1f\nconcurrent_ms %.1f\nsequential_one_handle_ms %.1f\nfailed %d\n",
              ms(t1 - t0).count(), ms(t2 - t1).count(), ms(t4 - t3).count(), failed);
  curl_global_cleanup();
}
