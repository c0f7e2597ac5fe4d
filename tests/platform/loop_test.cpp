#include "platform/loop.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

constexpr loop::UINT WM_TEST = loop::WM_USER + 1;
constexpr loop::UINT WM_OTHER = loop::WM_USER + 2;

// Counts live records, so a test can tell that dropped ones were freed.
std::atomic<int> g_liveRecords{0};
struct CountedRecord : loop::Record {
  int sender, seq;
  CountedRecord(int s, int q) : sender(s), seq(q) { ++g_liveRecords; }
  ~CountedRecord() override { --g_liveRecords; }
};

class Recorder : public loop::MessageTarget {
 public:
  explicit Recorder(loop::Loop& l) : MessageTarget(l) {}
  std::vector<std::pair<int, int>> seen;
  std::vector<std::thread::id> threads;
  int others = 0;
  int ticks = 0;

 protected:
  loop::LRESULT OnTest(loop::Message& m) {
    auto rec = loop::Adopt<CountedRecord>(m);
    seen.emplace_back(rec ? rec->sender : -1, rec ? rec->seq : static_cast<int>(m.wParam));
    threads.push_back(std::this_thread::get_id());
    return 0;
  }
  loop::LRESULT OnOther(loop::Message&) { return ++others; }
  loop::LRESULT OnTimer(loop::Message&) { return ++ticks; }

  static constexpr loop::MessageMapEntry<Recorder> kMap[] = {
      {WM_TEST, &Recorder::OnTest},
      {WM_OTHER, &Recorder::OnOther},
      {loop::WM_TIMER, &Recorder::OnTimer},
  };
  loop::LRESULT WindowProc(loop::Message& m) override {
    return loop::DispatchMessageMap(this, kMap, m).value_or(-1);
  }
};

// Every test runs a loop of its own, apart from the process's main one.
class LoopTest : public testing::Test {
 protected:
  loop::Loop loop_{loop::Loop::Context::Own};
};

TEST_F(LoopTest, PostsFromManyThreadsArriveOnLoopThreadInOrder) {
  Recorder target(loop_);
  constexpr int kThreads = 4, kEach = 500;
  std::vector<std::thread> senders;
  for (int s = 0; s < kThreads; ++s)
    senders.emplace_back([&, s] {
      for (int i = 0; i < kEach; ++i)
        ASSERT_TRUE(loop::PostMessage(target.hwnd(), WM_TEST, 0, std::make_unique<CountedRecord>(s, i)));
    });
  for (auto& t : senders) t.join();
  ASSERT_TRUE(loop_.RunUntil([&] { return target.seen.size() == kThreads * kEach; }, 10000));
  std::vector<int> next(kThreads, 0);
  for (auto [s, q] : target.seen) EXPECT_EQ(q, next[s]++) << "sender " << s;
  for (auto id : target.threads) EXPECT_EQ(id, std::this_thread::get_id());
  EXPECT_EQ(g_liveRecords, 0);
}

TEST_F(LoopTest, PostIsNeverDeliveredSynchronously) {
  Recorder target(loop_);
  loop::PostMessage(target.hwnd(), WM_TEST, 42);
  EXPECT_TRUE(target.seen.empty());
  ASSERT_TRUE(loop_.RunUntil([&] { return !target.seen.empty(); }, 2000));
  EXPECT_EQ(target.seen[0].second, 42);
}

TEST_F(LoopTest, MessagesForDestroyedTargetsAreDroppedAndFreed) {
  loop::HWND gone;
  {
    auto target = std::make_unique<Recorder>(loop_);
    gone = target->hwnd();
    // Queued while alive, target destroyed before delivery.
    for (int i = 0; i < 10; ++i) loop::PostMessage(gone, WM_TEST, 0, std::make_unique<CountedRecord>(0, i));
    EXPECT_EQ(g_liveRecords, 10);
  }
  // Posted after destruction: refused at once.
  EXPECT_FALSE(loop::PostMessage(gone, WM_TEST, 0, std::make_unique<CountedRecord>(1, 0)));
  Recorder other(loop_);
  loop::PostMessage(other.hwnd(), WM_OTHER);
  ASSERT_TRUE(loop_.RunUntil([&] { return other.others == 1; }, 2000));
  EXPECT_EQ(g_liveRecords, 0);

  // A worker that keeps posting while the target goes away never touches it.
  std::atomic<bool> stop{false};
  auto racing = std::make_unique<Recorder>(loop_);
  loop::HWND h = racing->hwnd();
  std::thread worker([&] {
    while (!stop) loop::PostMessage(h, WM_TEST, 0, std::make_unique<CountedRecord>(2, 0));
  });
  loop_.RunUntil([&] { return racing->seen.size() > 100; }, 2000);
  racing.reset();
  loop_.RunUntil([] { return false; }, 50);
  stop = true;
  worker.join();
  loop_.RunUntil([] { return false; }, 50);
  EXPECT_EQ(g_liveRecords, 0);
}

TEST_F(LoopTest, MessageMapIgnoresUnknownMessages) {
  Recorder target(loop_);
  EXPECT_EQ(target.SendMessage(WM_OTHER), 1);
  EXPECT_EQ(target.SendMessage(loop::WM_USER + 99), -1);
}

TEST_F(LoopTest, TimersTickUntilKilled) {
  Recorder target(loop_);
  target.SetTimer(7, 5);
  ASSERT_TRUE(loop_.RunUntil([&] { return target.ticks >= 3; }, 2000));
  target.KillTimer(7);
  int at = target.ticks;
  loop_.RunUntil([] { return false; }, 50);
  EXPECT_EQ(target.ticks, at);
}

TEST_F(LoopTest, FdWatchSeesReadableData) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  std::string got;
  loop::FdWatch watch(loop_, fds[0], loop::kReadable, [&](unsigned) {
    char buf[16];
    ssize_t n = ::read(fds[0], buf, sizeof buf);
    if (n > 0) got.append(buf, static_cast<std::size_t>(n));
    return true;
  });
  std::thread writer([&] { ASSERT_EQ(::write(fds[1], "ping", 4), 4); });
  ASSERT_TRUE(loop_.RunUntil([&] { return got == "ping"; }, 2000));
  writer.join();
  ::close(fds[0]);
  ::close(fds[1]);
}

}  // namespace
