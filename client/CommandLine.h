// The client's command line: the start fields found by substring search in
// the whole line, and the automation switches of the standard parser.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace velmora {

// The fields taken from the command line when the main window is created.
struct StartFields {
  int m_nUrlPos = -1;          // byte position of "http://", -1 when absent
  std::string m_strStartUrl;   // from "http://" to the end; the whole line when absent
  std::string m_strUserName;   // between "user_name=" and "&user_psw"
  bool m_bAutoLogin = false;   // "--autoLogin" occurs
  bool m_bTransfer = false;    // "-trans" occurs
};

// All searches are exact, case-sensitive, first occurrence.
StartFields ParseStartFields(std::string_view commandLine);

// The whole command line as the client reads it: the program's path and its
// arguments joined by single blanks.
std::string JoinCommandLine(const std::vector<std::string>& argv);

// The automation request of the arguments (after the program's path): a
// word that starts with "/" or "-" and names, in any case, one of the
// switches below. The last such word counts.
enum class AutomationRequest {
  None,
  Embedding,   // "Embedding" or "Automation": started by the bus
  Unregister,  // "Unregserver" or "Unregister"
  Register,    // "Regserver" or "Register"
};
AutomationRequest ParseAutomationSwitches(const std::vector<std::string>& args);

}  // namespace velmora
