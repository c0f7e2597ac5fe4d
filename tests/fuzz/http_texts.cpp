// What a page hands the HTTP client: an address, and header lines. The
// input is cut at its NUL bytes: the address, the verb, then header texts.
#include "platform/http.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> parts = fuzz::Parts(fuzz::Text(data, size));
  auto url = http::SplitUrl(parts[0]);
  if (url) {
    fuzz::Require(!url->host.empty() && url->port >= 1 && url->port <= 65535 && !url->object.empty() &&
                      url->object[0] == '/',
                  "a split address without host, port or object");
  }
  auto session = http::Session::Open();
  if (!session) return 0;
  auto connection = http::Connection::Open(*session, url ? url->host : "localhost", url ? url->port : 80,
                                           url ? url->scheme : http::Scheme::Http);
  if (!connection) return 0;
  auto request = http::Request::Open(*connection, parts.size() > 1 ? parts[1] : "GET", url ? url->object : "/");
  if (!request) return 0;
  for (std::size_t i = 2; i < parts.size(); ++i)
    request->AddHeaders(parts[i], i % 2 ? http::AddMode::Add : http::AddMode::AddIfNew);
  return 0;
}
