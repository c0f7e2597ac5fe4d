// The client's command line: the start fields found in the whole line, and
// the automation switches of its arguments (the input's NUL-separated parts).
#include "client/CommandLine.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string line(fuzz::Text(data, size));
  velmora::StartFields f = velmora::ParseStartFields(line);
  // The start address is the line from the first "http://" on, or the whole line.
  const std::size_t at = line.find("http://");
  if (at == std::string::npos) {
    fuzz::Require(f.m_nUrlPos == -1 && f.m_strStartUrl == line, "a line without an address gave one");
  } else {
    fuzz::Require(f.m_nUrlPos == static_cast<int>(at), "the address is not at the first \"http://\"");
    fuzz::Require(f.m_strStartUrl == line.substr(at), "the address is not the rest of the line");
  }
  fuzz::Require(line.find(f.m_strUserName) != std::string::npos, "the user name is not taken from the line");
  fuzz::Require(f.m_bAutoLogin == (line.find("--autoLogin") != std::string::npos), "the automatic-login switch");
  fuzz::Require(f.m_bTransfer == (line.find("-trans") != std::string::npos), "the transfer switch");
  // The arguments, and the line they make with a program's path.
  std::vector<std::string> args = fuzz::Parts(line);
  velmora::ParseAutomationSwitches(args);
  args.insert(args.begin(), "/usr/bin/Velmora");
  velmora::ParseStartFields(velmora::JoinCommandLine(args));
  return 0;
}
