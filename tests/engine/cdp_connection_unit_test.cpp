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

}  // namespace
