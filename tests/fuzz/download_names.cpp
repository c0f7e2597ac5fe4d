// What a download's server and a fill's value decide: the name a download
// is stored under (from an address and a response's header block), and the
// sources of a file input's value.
#include "control/automation/FileSources.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::string> parts = fuzz::Parts(fuzz::Text(data, size));
  const std::string& address = parts[0];
  const std::string headers = parts.size() > 1 ? parts[1] : std::string();
  // A plain file name, whatever the server says: no folder, no control
  // character, never "." or "..", never empty, at most 200 bytes.
  const std::string name = DownloadFileName(address, headers);
  fuzz::Require(!name.empty() && name.size() <= 200, "a name that is empty or too long");
  fuzz::Require(name != "." && name != "..", "a name that is a folder");
  for (unsigned char c : name) {
    fuzz::Require(c != '/' && c != '\\', "a name with a folder part");
    fuzz::Require(c >= 0x20 && c != 0x7F, "a name with a control character");
  }
  // The sources and the "|"s between them make up the whole value.
  const std::vector<std::string_view> sources = SplitFileSources(address);
  std::string joined;
  for (std::size_t i = 0; i < sources.size(); ++i) joined += (i ? "|" : "") + std::string(sources[i]);
  fuzz::Require(joined == address, "the sources do not make up the value");
  return 0;
}
