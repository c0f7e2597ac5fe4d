// The client's link to a real helper process.
#include "client/HelperLink.h"

#include "tests/helper/helper_fixture.h"

namespace helpertest {
namespace {

TEST(HelperLink, WithoutHelperNothingIsSent) {
  PipeDir dir;
  EXPECT_EQ(helperlink::SendToHelper("alice&1"), helperlink::SendResult::NoHelper);
  EXPECT_EQ(helperlink::FetchTransfer("alice"), std::nullopt);
}

TEST_F(HelperTest, LinkRegistersAndSignsOff) {
  Child client = StartNamed(dir_.path(), "Velmora");
  std::string pid = std::to_string(client.pid());
  ASSERT_EQ(Ask("alice$"), "0");
  EXPECT_EQ(helperlink::SendToHelper("alice&" + pid), helperlink::SendResult::Sent);
  EXPECT_EQ(Ask("alice$"), pid);
  EXPECT_EQ(helperlink::SendToHelper("alice*"), helperlink::SendResult::Sent);
  EXPECT_EQ(Ask("getAllUser"), R"({"userList":[]})");
}

TEST_F(HelperTest, LinkFetchesHandOverOnce) {
  EXPECT_EQ(helperlink::FetchTransfer("alice"), "");
  std::string text = "alice+seturl:http://h/" + std::string(200, 'p');
  ASSERT_EQ(Ask(text), "1");
  // At most 100 bytes of the reply are read.
  EXPECT_EQ(helperlink::FetchTransfer("ALICE"), text.substr(0, 100));
  EXPECT_EQ(helperlink::FetchTransfer("alice"), "");
}

}  // namespace
}  // namespace helpertest
