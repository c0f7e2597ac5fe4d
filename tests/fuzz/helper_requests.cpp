// The helper's request rules: a run is a few requests (the input cut at its
// NUL bytes, as a request ends at its first one) applied to empty lists.
// Whatever the requests, the user list is JSON that parses once decoded
// from the code page.
#include <json/json.h>

#include "helper/Requests.h"
#include "platform/codepage.h"
#include "platform/pipe.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ClearLists();
  for (const std::string& part : fuzz::Parts(fuzz::Text(data, size))) {
    // What one read of the pipe gives.
    std::string request = part.substr(0, namedpipe::kMaxRequest);
    if (request.empty()) continue;
    HandleRequest(request);
  }
  std::string list = codepage::AnsiToUtf8(BuildUserList());
  Json::Value root;
  Json::CharReaderBuilder builder;
  builder["strictRoot"] = true;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  std::string errors;
  fuzz::Require(reader->parse(list.data(), list.data() + list.size(), &root, &errors), "the user list is no JSON");
  fuzz::Require(root["userList"].size() == g_arrUsers.size(), "the user list lost a user");
  return 0;
}
