#include <gtest/gtest.h>

#include "engine/cdp/Connection.h"

namespace {

TEST(CdpConnectionTest, LoneSurrogatesBecomeReplacementCharacters) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {R"({"a":"\ud800"})", R"({"a":"\ufffd"})"},
      {R"({"a":"x\udc00y"})", R"({"a":"x\ufffdy"})"},
      {R"({"a":"\ud83d\ude00"})", R"({"a":"\ud83d\ude00"})"},  // a pair stays
      {R"({"a":"\ud83d\u0041"})", R"({"a":"\ufffd\u0041"})"},
      {R"({"a":"\\ud800"})", R"({"a":"\\ud800"})"},  // an escaped backslash, not an escape
      {R"({"a":"\u00e9\n"})", R"({"a":"\u00e9\n"})"},
      {R"({"a":"\ud800)", R"({"a":"\ufffd)"},
  };
  for (const auto& c : cases) EXPECT_EQ(cdp::Connection::ReplaceLoneSurrogates(c.in), c.out) << c.in;
}

// Whatever the browser's pipe carries, reading it never throws (an
// exception on the reader thread would end the whole process), and a reply
// that cannot be read still answers its caller.
TEST(CdpConnectionTest, MessagesAreReadWithoutThrowing) {
  using Message = cdp::Connection::Message;
  const std::string deep = std::string(5000, '[') + std::string(5000, ']');
  const struct {
    std::string text;
    Message::Kind kind;
    int id;
    bool ok;
    std::string detail;  // the error of a reply, the method of an event
  } cases[] = {
      {R"({"id":3,"result":{"v":1}})", Message::ReplyTo, 3, true, ""},
      {R"({"id":4,"error":{"code":-32601,"message":"nope"}})", Message::ReplyTo, 4, false, "nope"},
      {R"({"id":5,"error":"nope"})", Message::ReplyTo, 5, false, "the browser refused the command"},
      {R"({"id":6,"result":{"v":)" + deep + "}}", Message::ReplyTo, 6, false, "the browser's reply could not be read"},
      {R"({"id":7,"result":{"v":"\ud800"}})", Message::ReplyTo, 7, true, ""},
      {R"({"id":8,"res)", Message::ReplyTo, 8, false, "the browser's reply could not be read"},
      {R"({"id":"x","result":{}})", Message::Unreadable, 0, false, ""},
      {R"({"method":"Page.lifecycleEvent","params":{"name":"load"},"sessionId":"S"})", Message::EventOf, 0, false,
       "Page.lifecycleEvent"},
      {R"({"method":7,"params":"x"})", Message::EventOf, 0, false, ""},
      {deep, Message::Unreadable, 0, false, ""},
      {"[1]", Message::Unreadable, 0, false, ""},
      {"", Message::Unreadable, 0, false, ""},
  };
  for (const auto& c : cases) {
    Message m = cdp::Connection::ReadMessage(c.text);
    const std::string what = c.text.substr(0, 60);
    EXPECT_EQ(m.kind, c.kind) << what;
    if (c.kind == Message::ReplyTo) {
      EXPECT_EQ(m.id, c.id) << what;
      EXPECT_EQ(m.reply.ok, c.ok) << what;
      EXPECT_EQ(m.reply.error, c.detail) << what;
    }
    if (c.kind == Message::EventOf) {
      EXPECT_EQ(m.event.method, c.detail) << what;
      EXPECT_TRUE(m.event.params.isObject()) << what;
    }
  }
}

}  // namespace
