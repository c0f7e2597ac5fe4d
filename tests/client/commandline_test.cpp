// The client's command line: start fields by substring search, and the
// automation switches.
#include <gtest/gtest.h>

#include "client/CommandLine.h"

namespace {

using velmora::AutomationRequest;
using velmora::ParseStartFields;

struct FieldsCase {
  const char* line;
  int urlPos;
  const char* startUrl;
  const char* userName;
  bool autoLogin;
  bool transfer;
};

constexpr FieldsCase kFieldsCases[] = {
    // The usual line: path, then an address carrying the user name.
    {"/opt/v/Velmora http://s/login?user_name=alice&user_psw=x", 15, "http://s/login?user_name=alice&user_psw=x",
     "alice", false, false},
    // A switch after the address becomes part of it, and still counts.
    {"/opt/v/Velmora http://s/?user_name=bob&user_psw=y -trans", 15, "http://s/?user_name=bob&user_psw=y -trans", "bob",
     false, true},
    // Switches before the address; "-trans" and "--autoLogin" inside longer words count.
    {"V --autoLoginNow --transfer http://s/?user_name=c&user_psw", 28, "http://s/?user_name=c&user_psw", "c", true, true},
    // Searches are case-sensitive.
    {"V --autologin -TRANS HTTP://s/?User_Name=d&user_psw", -1, "V --autologin -TRANS HTTP://s/?User_Name=d&user_psw",
     "ogin -TRANS HTTP://s/?User_Name=d", false, false},
    // "user_name=" without "&user_psw": no name.
    {"V http://s/?user_name=erin", 2, "http://s/?user_name=erin", "", false, false},
    // No "http://": the whole line is the address; "https://" is not "http://".
    {"/opt/v/Velmora -trans https://s/", -1, "/opt/v/Velmora -trans https://s/", "", false, true},
    {"/opt/v/Velmora", -1, "/opt/v/Velmora", "", false, false},
    {"", -1, "", "", false, false},
    // Without "user_name=" the name starts at byte 9.
    {"0123456789abc&user_psw", -1, "0123456789abc&user_psw", "9abc", false, false},
    // "&user_psw" before "user_name=": a negative length gives no name.
    {"V http://s/?x=1&user_psw=2&user_name=frank", 2, "http://s/?x=1&user_psw=2&user_name=frank", "", false, false},
    // The first occurrence of each marker counts.
    {"V http://a/?user_name=g&user_psw http://b/?user_name=h&user_psw", 2,
     "http://a/?user_name=g&user_psw http://b/?user_name=h&user_psw", "g", false, false},
    // Bytes of another code page pass through untouched.
    {"V http://s/?user_name=\xd5\xc5\xc8\xfd&user_psw", 2, "http://s/?user_name=\xd5\xc5\xc8\xfd&user_psw",
     "\xd5\xc5\xc8\xfd", false, false},
};

TEST(CommandLine, StartFields) {
  for (const FieldsCase& c : kFieldsCases) {
    SCOPED_TRACE(c.line);
    velmora::StartFields f = ParseStartFields(c.line);
    EXPECT_EQ(f.m_nUrlPos, c.urlPos);
    EXPECT_EQ(f.m_strStartUrl, c.startUrl);
    EXPECT_EQ(f.m_strUserName, c.userName);
    EXPECT_EQ(f.m_bAutoLogin, c.autoLogin);
    EXPECT_EQ(f.m_bTransfer, c.transfer);
  }
}

TEST(CommandLine, WholeLineJoinsWordsWithSingleBlanks) {
  EXPECT_EQ(velmora::JoinCommandLine({"/opt/v/Velmora", "-trans", "http://s/?a=1 b"}),
            "/opt/v/Velmora -trans http://s/?a=1 b");
  EXPECT_EQ(velmora::JoinCommandLine({"", "x"}), " x");
  EXPECT_EQ(velmora::JoinCommandLine({}), "");
}

TEST(CommandLine, AutomationSwitches) {
  struct Case {
    std::vector<std::string> args;
    AutomationRequest request;
  } cases[] = {
      {{}, AutomationRequest::None},
      {{"http://s/?user_name=a&user_psw"}, AutomationRequest::None},
      {{"-Embedding"}, AutomationRequest::Embedding},
      {{"/automation", "http://s/"}, AutomationRequest::Embedding},
      {{"/UNREGSERVER"}, AutomationRequest::Unregister},
      {{"-Unregister"}, AutomationRequest::Unregister},
      {{"/regserver"}, AutomationRequest::Register},
      {{"-Register"}, AutomationRequest::Register},
      // Only a whole word after "/" or "-" is a switch.
      {{"Regserver", "--Regserver", "-Regservers", "x/Regserver"}, AutomationRequest::None},
      // The last switch counts.
      {{"-Regserver", "-Unregserver"}, AutomationRequest::Unregister},
  };
  for (const Case& c : cases) {
    std::string words;
    for (auto& a : c.args) words += a + " ";
    EXPECT_EQ(velmora::ParseAutomationSwitches(c.args), c.request) << words;
  }
}

}  // namespace
