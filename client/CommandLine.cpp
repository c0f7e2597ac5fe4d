#include "client/CommandLine.h"

#include <strings.h>

namespace velmora {

namespace {

constexpr std::string_view kUrlMarker = "http://";
constexpr std::string_view kUserMarker = "user_name=";
constexpr std::string_view kUserEndMarker = "&user_psw";
constexpr std::string_view kAutoLoginMarker = "--autoLogin";
constexpr std::string_view kTransferMarker = "-trans";

int Find(std::string_view text, std::string_view what) {
  std::size_t at = text.find(what);
  return at == std::string_view::npos ? -1 : static_cast<int>(at);
}

struct SwitchName {
  const char* name;
  AutomationRequest request;
};

constexpr SwitchName kSwitches[] = {
    {"Embedding", AutomationRequest::Embedding},   {"Automation", AutomationRequest::Embedding},
    {"Unregserver", AutomationRequest::Unregister}, {"Unregister", AutomationRequest::Unregister},
    {"Regserver", AutomationRequest::Register},     {"Register", AutomationRequest::Register},
};

}  // namespace

StartFields ParseStartFields(std::string_view line) {
  StartFields f;
  // The start address runs from "http://" to the end of the line.
  f.m_nUrlPos = Find(line, kUrlMarker);
  f.m_strStartUrl = std::string(f.m_nUrlPos >= 0 ? line.substr(static_cast<std::size_t>(f.m_nUrlPos)) : line);
  // The user name starts right after "user_name=" (at byte 9 when it is
  // missing) and ends right before "&user_psw"; a negative length gives no
  // name, a length past the end is cut there.
  int n = Find(line, kUserMarker);
  int p = Find(line, kUserEndMarker);
  int start = n + static_cast<int>(kUserMarker.size());
  int length = p - start;
  if (length > 0 && static_cast<std::size_t>(start) < line.size())
    f.m_strUserName = std::string(line.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(length)));
  f.m_bAutoLogin = Find(line, kAutoLoginMarker) >= 0;
  f.m_bTransfer = Find(line, kTransferMarker) >= 0;
  return f;
}

std::string JoinCommandLine(const std::vector<std::string>& argv) {
  std::string line;
  for (std::size_t i = 0; i < argv.size(); ++i) {
    if (i > 0) line += ' ';
    line += argv[i];
  }
  return line;
}

AutomationRequest ParseAutomationSwitches(const std::vector<std::string>& args) {
  AutomationRequest found = AutomationRequest::None;
  for (const std::string& a : args) {
    if (a.size() < 2 || (a[0] != '/' && a[0] != '-')) continue;
    for (const SwitchName& s : kSwitches)
      if (strcasecmp(a.c_str() + 1, s.name) == 0) found = s.request;
  }
  return found;
}

}  // namespace velmora
