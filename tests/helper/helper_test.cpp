// The session helper as a real process on a real socket: the seven rules,
// the client check, the hand-over texts and the helper's lifecycle.
#include <json/json.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <atomic>
#include <fstream>

#include "platform/codepage.h"
#include "tests/helper/helper_fixture.h"

namespace helpertest {
namespace {

// The checked users as the helper lists them (parsed; texts in UTF-8).
std::vector<std::string> Users() {
  std::string reply = Ask("getAllUser");
  Json::Value root;
  Json::CharReaderBuilder builder;
  builder["strictRoot"] = true;
  std::string utf8 = codepage::AnsiToUtf8(reply);
  std::string errors;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  EXPECT_TRUE(reader->parse(utf8.data(), utf8.data() + utf8.size(), &root, &errors))
      << errors << " in " << reply;
  std::vector<std::string> users;
  for (const auto& v : root["userList"]) users.push_back(v.asString());
  return users;
}

long CountOf(const std::vector<std::string>& users, const std::string& name) {
  return std::count(users.begin(), users.end(), name);
}

std::string Registration(const std::string& user, pid_t pid) {
  return user + "&" + std::to_string(pid);
}

TEST_F(HelperTest, DollarRequestChecksUsersIn) {
  EXPECT_EQ(Ask("getAllUser"), R"({"userList":[]})");
  EXPECT_EQ(Ask("alice$"), "0");
  EXPECT_EQ(Ask("getAllUser"), R"({"userList":["alice"]})");
  // Listed but no registration mentions her: listed a second time.
  EXPECT_EQ(Ask("alice$"), "0");
  // Every "$" is removed to get the name.
  EXPECT_EQ(Ask("b$o$b$"), "0");
  EXPECT_EQ(Ask("getAllUser"), R"({"userList":["alice","alice","bob"]})");
  // "$" in first place is not a check: stored as a registration, no reply.
  EXPECT_EQ(Ask("$carol"), "");
  EXPECT_EQ(Ask("getAllUser"), R"({"userList":["alice","alice","bob"]})");
}

TEST_F(HelperTest, GetAllUserIgnoresCaseButNotBlanks) {
  ASSERT_EQ(Ask("alice$"), "0");
  for (const char* request : {"getAllUser", "GETALLUSER", "getalluser"})
    EXPECT_EQ(Ask(request), R"({"userList":["alice"]})") << request;
  // With a trailing blank it is no list request: it lands in the client list.
  EXPECT_EQ(Ask("getAllUser "), "");
  // Shown by checking that text in as a user: its stored "registration" names
  // no process, so the second check cleans it up instead of listing it twice.
  EXPECT_EQ(Ask("getAllUser $"), "0");
  EXPECT_EQ(Ask("getAllUser $"), "0");
  EXPECT_EQ(CountOf(Users(), "getAllUser "), 1);
}

TEST_F(HelperTest, CheckUserGivesLiveClientProcess) {
  Child client = StartNamed(dir_.path(), "Velmora");
  std::string pid = std::to_string(client.pid());
  ASSERT_EQ(Ask("alice$"), "0");
  EXPECT_EQ(Ask(Registration("alice", client.pid())), "");
  EXPECT_EQ(Ask("alice$"), pid);
  EXPECT_EQ(Ask("ALICE$"), pid);
  EXPECT_EQ(Users(), std::vector<std::string>{"alice"});
}

// A registration that names no live client is cleaned up together with the
// user, and the user is checked in again.
TEST_F(HelperTest, CheckUserCleansUpStaleRegistrations) {
  Child other = StartNamed(dir_.path(), "notTheClient");
  Child zombie = StartNamed(dir_.path(), "Velmora");
  zombie.KillOnly();
  for (int i = 0; i < 500 && process::RunningName(zombie.pid()); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  struct Case {
    const char* user;
    std::string registration;
  } cases[] = {
      {"ended", Registration("ended", EndedPid())},
      {"zombie", Registration("zombie", zombie.pid())},
      {"otherprogram", Registration("otherprogram", other.pid())},
      {"nodigits", "nodigits&abc"},
      {"noamp", "noamp"},
      {"huge", "huge&99999999999999999999"},
      {"negative", "negative&-1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.registration);
    ASSERT_EQ(Ask(std::string(c.user) + "$"), "0");
    ASSERT_EQ(Ask(c.registration), "");
    EXPECT_EQ(Ask(std::string(c.user) + "$"), "0");
    EXPECT_EQ(CountOf(Users(), c.user), 1);
    // The registration went too: the next check finds nothing to clean up.
    EXPECT_EQ(Ask(std::string(c.user) + "$"), "0");
    EXPECT_EQ(CountOf(Users(), c.user), 2);
  }
}

// A registration belongs to the user named before its "&", in any case;
// a similar name never shares it.
TEST_F(HelperTest, RegistrationsBelongToTheirOwnUser) {
  Child client = StartNamed(dir_.path(), "Velmora");
  std::string pid = std::to_string(client.pid());
  ASSERT_EQ(Ask("bobby$"), "0");
  ASSERT_EQ(Ask(Registration("bobby", client.pid())), "");
  ASSERT_EQ(Ask("bob$"), "0");
  EXPECT_EQ(Ask("bob$"), "0");  // bobby's client is not bob's
  EXPECT_EQ(Ask("bobby$"), pid);
  EXPECT_EQ(Users(), (std::vector<std::string>{"bobby", "bob", "bob"}));
  ASSERT_EQ(Ask(Registration("CAROL", client.pid())), "");
  ASSERT_EQ(Ask("carol$"), "0");
  EXPECT_EQ(Ask("carol$"), pid);
}

TEST_F(HelperTest, SignOffRemovesOnlyThatUsersLastRegistration) {
  Child client = StartNamed(dir_.path(), "Velmora");
  std::string pid = std::to_string(client.pid());
  // alice's registration before bob's: "alice*" must leave bob's alone.
  ASSERT_EQ(Ask("alice$"), "0");
  ASSERT_EQ(Ask("bob$"), "0");
  ASSERT_EQ(Ask(Registration("alice", client.pid())), "");
  ASSERT_EQ(Ask(Registration("bob", client.pid())), "");
  EXPECT_EQ(Ask("alice*"), "");
  EXPECT_EQ(Users(), std::vector<std::string>{"bob"});
  EXPECT_EQ(Ask("bob$"), pid);
  EXPECT_EQ(Ask("alice$"), "0");
  EXPECT_EQ(Ask("alice$"), "0");  // nothing of hers left to find
  EXPECT_EQ(CountOf(Users(), "alice"), 2);

  // Of dave's two registrations the last goes; the live first one stays.
  ASSERT_EQ(Ask("dave$"), "0");
  ASSERT_EQ(Ask(Registration("dave", client.pid())), "");
  ASSERT_EQ(Ask(Registration("dave", EndedPid())), "");
  EXPECT_EQ(Ask("d*a*v*e*"), "");
  EXPECT_EQ(CountOf(Users(), "dave"), 0);
  EXPECT_EQ(Ask("dave$"), "0");
  EXPECT_EQ(Ask("dave$"), pid);
  // Signing off a user who is not there changes nothing.
  EXPECT_EQ(Ask("nobody*"), "");
  EXPECT_EQ(Ask("bob$"), pid);
}

TEST_F(HelperTest, UserListIsValidJsonForAnyName) {
  // Each name as it is checked in, and as the list gives it back (in the
  // code page). Double-byte characters are kept whole; a byte that starts
  // no character of the code page becomes its default character, so that
  // it cannot join with the escape after it.
  const struct {
    std::string name, listed;
  } cases[] = {
      {"plain", "plain"},
      {"quo\"te", "quo\"te"},
      {"back\\slash", "back\\slash"},
      {"new\nline", "new\nline"},
      {"tab\there", "tab\there"},
      {"bell\x07", "bell\x07"},
      {"\x1f" "x", "\x1f" "x"},
      {"slash/ok", "slash/ok"},
      // GBK characters whose trail byte is 0x5C ("\"), last or before an escape.
      {"\xD5\x5C", "\xD5\x5C"},
      {"\x81\x5C", "\x81\x5C"},
      {"\xD5\x5C\"", "\xD5\x5C\""},
      {"\x81\x5C\\", "\x81\x5C\\"},
      {"\x81\x5C\x81\x5C\n", "\x81\x5C\x81\x5C\n"},
      // Lead bytes with no trail byte of the code page.
      {"lone\x81", "lone?"},
      {"\x81\"", "?\""},
      {"\xFE\n\x81", "?\n?"},
  };
  for (const auto& c : cases) ASSERT_EQ(Ask(c.name + "$"), "0");
  std::string reply = Ask("getAllUser");
  // The double-byte character is kept whole, its trail byte not doubled.
  EXPECT_NE(reply.find("\"\xD5\x5C\""), std::string::npos) << reply;
  std::vector<std::string> users = Users();
  ASSERT_EQ(users.size(), std::size(cases));
  for (std::size_t i = 0; i < users.size(); ++i)
    EXPECT_EQ(codepage::Utf8ToAnsi(users[i]), cases[i].listed) << i;
}

TEST_F(HelperTest, OnlyExactAtStops) {
  Child client = StartNamed(dir_.path(), "Velmora");
  std::string pid = std::to_string(client.pid());
  // An e-mail address as user name is an ordinary user.
  ASSERT_EQ(Ask("alice@example.com$"), "0");
  EXPECT_EQ(Ask(Registration("alice@example.com", client.pid())), "");
  EXPECT_EQ(Ask("alice@example.com$"), pid);
  // An address with credentials is stored and handed over.
  EXPECT_EQ(Ask("alice+seturl:http://u:p@host/x"), "1");
  EXPECT_EQ(Ask("alice+geturl"), "alice+seturl:http://u:p@host/x");
  for (const char* request : {"@@", "x@", "@ "}) EXPECT_EQ(Ask(request), "") << request;
  EXPECT_EQ(Ask("alice@example.com$"), pid);

  // "@" itself: the reply, then the helper ends with code 0 and its socket goes.
  EXPECT_EQ(Ask("@"), "@");
  EXPECT_EQ(helper_.Wait(10000), 0);
  EXPECT_FALSE(std::filesystem::exists(namedpipe::PathOf(kPipe)));
  EXPECT_EQ(Exchange("getAllUser").status, namedpipe::ClientStatus::NoServer);
}

TEST_F(HelperTest, HandOverTextIsTakenOnce) {
  EXPECT_EQ(Ask("alice+seturl:http://a/1"), "1");
  EXPECT_EQ(Ask("bob+seturl:http://b/"), "1");
  EXPECT_EQ(Ask("alice+seturl:http://a/2"), "1");
  EXPECT_EQ(Ask("ALICE+geturl"), "alice+seturl:http://a/1");
  EXPECT_EQ(Ask("alice+geturl"), "alice+seturl:http://a/2");
  EXPECT_EQ(Ask("alice+geturl"), "");
  EXPECT_EQ(Ask("bob+geturl"), "bob+seturl:http://b/");
  EXPECT_EQ(Ask("bob+geturl"), "");
  // A marker in first place names no user: an ordinary stored text.
  EXPECT_EQ(Ask("+seturl:http://c/"), "");
  EXPECT_EQ(Ask("+geturl"), "");
}

TEST_F(HelperTest, LongRequestsAreCutAt1024Bytes) {
  std::string exact = std::string(1023, 'x') + "$";
  ASSERT_EQ(exact.size(), 1024u);
  EXPECT_EQ(Ask(exact), "0");
  // 5000 bytes: the first 1024 are the request, the rest is dropped.
  std::string longer = std::string(1020, 'y') + "$" + std::string(3979, 'z');
  ASSERT_EQ(longer.size(), 5000u);
  EXPECT_EQ(Ask(longer), "0");
  // The request ends at its first zero byte.
  EXPECT_EQ(Ask(std::string("bob$\0tail$", 10)), "0");
  EXPECT_EQ(Users(),
            (std::vector<std::string>{std::string(1023, 'x'), std::string(1020, 'y') + "zzz", "bob"}));
}

// Clients that go away early cost only their own connection.
TEST_F(HelperTest, ClientsThatLeaveEarlyDoNotStopTheHelper) {
  for (int i = 0; i < 20; ++i) {
    namedpipe::Connection c;
    ASSERT_EQ(namedpipe::Connect(kPipe, &c), namedpipe::ClientStatus::Ok);
    if (i % 2) {
      ASSERT_TRUE(c.WriteRequest("leaver" + std::to_string(i) + "$"));
    }
  }  // each closed without reading
  // A reply far larger than the socket buffer, to a client that has closed:
  // the write certainly fails.
  for (int i = 0; i < 300; ++i) ASSERT_EQ(Ask("user" + std::to_string(i) + std::string(1000, 'u') + "$"), "0");
  for (int i = 0; i < 3; ++i) {
    namedpipe::Connection c;
    ASSERT_EQ(namedpipe::Connect(kPipe, &c), namedpipe::ClientStatus::Ok);
    ASSERT_TRUE(c.WriteRequest("getAllUser"));
  }
  EXPECT_EQ(Ask("alice$"), "0");
  EXPECT_EQ(CountOf(Users(), "alice"), 1);
}

// While one client holds the helper, the next one waits and is served after it.
TEST_F(HelperTest, ClientsAreServedOneAfterAnother) {
  namedpipe::Connection first;
  ASSERT_EQ(namedpipe::Connect(kPipe, &first), namedpipe::ClientStatus::Ok);
  std::atomic<bool> secondDone{false};
  std::string secondReply;
  std::thread second([&] {
    secondReply = Ask("getAllUser");
    secondDone = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(secondDone);
  ASSERT_TRUE(first.WriteRequest("alice$"));
  EXPECT_EQ(first.ReadReply(100), "0");
  second.join();
  // Served after the first: it sees alice.
  EXPECT_EQ(secondReply, R"({"userList":["alice"]})");
}

// A client that reads its reply a little at a time holds the helper for at
// most one exchange's deadline (ten seconds); the client after it is then
// served. Before, each read reset the time and the helper served nobody else
// for as long as the slow client liked.
TEST_F(HelperTest, SlowReaderDoesNotHoldOthersPastTheDeadline) {
  // A user list of about 2 MB, far more than the socket buffers hold.
  for (int i = 0; i < 2000; ++i) ASSERT_EQ(Ask(std::to_string(i) + std::string(1000, 'u') + "$"), "0");
  std::atomic<bool> othersServed{false};
  std::thread slow([&] {
    namedpipe::Connection c;
    ASSERT_EQ(namedpipe::Connect(kPipe, &c), namedpipe::ClientStatus::Ok);
    ASSERT_TRUE(c.WriteRequest("getAllUser"));
    // 32 KiB every 3 s, until the helper gives up on it or the test is through.
    for (int round = 0; round < 40 && !othersServed; ++round) {
      char buf[32768];
      if (::recv(c.fd(), buf, sizeof buf, MSG_DONTWAIT) == 0) break;
      for (int t = 0; t < 30 && !othersServed; ++t) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  // The next client waits its turn, with a limit of its own so that a
  // helper still held fails the test instead of hanging it.
  auto start = std::chrono::steady_clock::now();
  namedpipe::Connection next;
  ASSERT_EQ(namedpipe::Connect(kPipe, &next), namedpipe::ClientStatus::Ok);
  next.SetDeadline(std::chrono::seconds(40));
  ASSERT_TRUE(next.WriteRequest("alice$"));
  EXPECT_EQ(next.ReadReply(100), "0");
  othersServed = true;
  auto waited = std::chrono::steady_clock::now() - start;
  slow.join();
  // Served once the slow client's deadline ran out (the bound only catches a helper still held).
  EXPECT_LT(waited, std::chrono::seconds(25));
  EXPECT_EQ(CountOf(Users(), "alice"), 1);
}

// Lifecycle: one helper per pipe.

TEST(HelperLifecycle, ArgumentsAreIgnored) {
  PipeDir dir;
  Child helper = StartHelper({"|alice| |0"});
  ASSERT_TRUE(WaitAnswering());
  EXPECT_EQ(Ask("getAllUser"), R"({"userList":[]})");
  EXPECT_EQ(Ask("@"), "@");
  EXPECT_EQ(helper.Wait(10000), 0);
}

TEST(HelperLifecycle, SecondHelperLeavesTheFirstServing) {
  PipeDir dir;
  Child first = StartHelper();
  ASSERT_TRUE(WaitAnswering());
  ASSERT_EQ(Ask("alice$"), "0");
  Child second = StartHelper();
  EXPECT_EQ(second.Wait(10000), 0);
  EXPECT_EQ(Ask("getAllUser"), R"({"userList":["alice"]})");
  EXPECT_EQ(Ask("@"), "@");
  EXPECT_EQ(first.Wait(10000), 0);
}

TEST(HelperLifecycle, TwoHelpersStartedAtOnceLeaveOne) {
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    PipeDir dir;
    Child a = StartHelper();
    Child b = StartHelper();
    ASSERT_TRUE(WaitAnswering());
    // Exactly one of them ends at once, with code 0.
    std::optional<int> codeA, codeB;
    for (int i = 0; i < 1000 && !codeA && !codeB; ++i) {
      codeA = a.Wait(0);
      codeB = b.Wait(0);
      if (!codeA && !codeB) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_NE(codeA.has_value(), codeB.has_value());
    EXPECT_EQ(codeA ? *codeA : *codeB, 0);
    Child& survivor = codeA ? b : a;
    // The survivor serves alone: after it stops nobody answers.
    ASSERT_EQ(Ask("alice$"), "0");
    EXPECT_EQ(Ask("getAllUser"), R"({"userList":["alice"]})");
    EXPECT_EQ(Ask("@"), "@");
    EXPECT_EQ(survivor.Wait(10000), 0);
    EXPECT_EQ(Exchange("getAllUser").status, namedpipe::ClientStatus::NoServer);
  }
}

TEST(HelperLifecycle, StaleSocketOfDeadHelperIsReplaced) {
  PipeDir dir;
  Child dead = StartHelper();
  ASSERT_TRUE(WaitAnswering());
  dead.Kill();  // leaves its socket file behind
  ASSERT_TRUE(std::filesystem::exists(namedpipe::PathOf(kPipe)));
  EXPECT_EQ(Exchange("getAllUser").status, namedpipe::ClientStatus::NoServer);
  Child helper = StartHelper();
  ASSERT_TRUE(WaitAnswering());
  EXPECT_EQ(Ask("getAllUser"), R"({"userList":[]})");
  EXPECT_EQ(Ask("@"), "@");
  EXPECT_EQ(helper.Wait(10000), 0);
}

TEST(HelperLifecycle, UnusablePipeFolderEndsTheHelper) {
  PipeDir dir;
  std::string file = dir.path() + "/plainfile";
  { std::ofstream(file) << "x"; }
  ::setenv("VELMORA_PIPE_DIR", file.c_str(), 1);
  Child helper = StartHelper();
  EXPECT_EQ(helper.Wait(10000), 0);
}

}  // namespace
}  // namespace helpertest
