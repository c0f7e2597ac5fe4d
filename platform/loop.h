// The message loop of a thread: message targets ("windows") with message
// maps, messages posted from any thread, timers and file-descriptor
// watches. On Linux it runs on a GLib main context, which stays inside
// loop.cpp: the default one is the context GTK and WebKit run on.
//
// A target is identified by an HWND that is never reused. PostMessage looks
// the target up at posting time and again at delivery; a message whose
// target is gone by then is dropped and its record released. Messages
// posted to the targets of one loop are delivered in the order they were
// posted. Targets are created and destroyed on their loop's thread.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>

namespace loop {

using HWND = std::uint64_t;  // 0: no target
using UINT = std::uint32_t;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;

constexpr UINT WM_CREATE = 0x0001;
constexpr UINT WM_DESTROY = 0x0002;
constexpr UINT WM_SIZE = 0x0005;
constexpr UINT WM_TIMER = 0x0113;
constexpr UINT WM_USER = 0x0400;

constexpr WPARAM SIZE_RESTORED = 0;
constexpr WPARAM SIZE_MINIMIZED = 1;

inline LPARAM MakeLParam(int lo, int hi) {
  return static_cast<LPARAM>((static_cast<std::uint32_t>(hi) << 16) |
                             (static_cast<std::uint32_t>(lo) & 0xFFFF));
}
inline int LoWord(LPARAM l) { return static_cast<int>(static_cast<std::uint32_t>(l) & 0xFFFF); }
inline int HiWord(LPARAM l) { return static_cast<int>((static_cast<std::uint32_t>(l) >> 16) & 0xFFFF); }

// What a posted message carries besides its two values: owned by the
// message, then by the handler that adopts it; freed with the message when
// nobody does.
struct Record {
  virtual ~Record() = default;
};
using RecordPtr = std::unique_ptr<Record>;

struct Message {
  UINT msg = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
  RecordPtr record;
};

// Takes the record of a message as its concrete type (null when it has another type).
template <typename T>
std::unique_ptr<T> Adopt(Message& m) {
  if (auto* p = dynamic_cast<T*>(m.record.get())) {
    m.record.release();
    return std::unique_ptr<T>(p);
  }
  return nullptr;
}

class Loop {
 public:
  enum class Context {
    Default,  // the process's main context (the page's thread, a program's UI thread)
    Own,      // a context of the loop's own, for a loop that runs apart from it
  };
  explicit Loop(Context context = Context::Default);
  ~Loop();
  Loop(const Loop&) = delete;
  Loop& operator=(const Loop&) = delete;

  // Runs the loop until Quit.
  void Run();
  void Quit();
  // Runs the loop until done() or the time runs out; true when done.
  bool RunUntil(const std::function<bool()>& done, int timeoutMs);

  struct Queue;

 private:
  friend class MessageTarget;
  friend class FdWatch;
  std::shared_ptr<Queue> queue_;
};

// The loop of the default main context (the page's thread in a web process,
// the UI thread of a program). Created on first use, lives as long as the process.
Loop& DefaultLoop();

class MessageTarget {
 public:
  explicit MessageTarget(Loop& loop);
  virtual ~MessageTarget();
  MessageTarget(const MessageTarget&) = delete;
  MessageTarget& operator=(const MessageTarget&) = delete;

  HWND hwnd() const { return hwnd_; }
  Loop& loop() const { return loop_; }

  // Delivers a message at once, on the calling (the loop's) thread.
  LRESULT SendMessage(UINT msg, WPARAM wParam = 0, LPARAM lParam = 0, RecordPtr record = nullptr);

  // WM_TIMER with the timer id as wParam, every `ms` milliseconds until killed.
  void SetTimer(WPARAM id, unsigned ms);
  void KillTimer(WPARAM id);

 protected:
  virtual LRESULT WindowProc(Message& m) = 0;

 private:
  friend struct Delivery;

  Loop& loop_;
  HWND hwnd_;
  struct Timer;
  std::map<WPARAM, std::unique_ptr<Timer>> timers_;
};

// A target whose messages go to a function: for an object that receives
// posted messages without being a window of its own.
class FunctionTarget final : public MessageTarget {
 public:
  FunctionTarget(Loop& loop, std::function<LRESULT(Message&)> proc) : MessageTarget(loop), proc_(std::move(proc)) {}

 protected:
  LRESULT WindowProc(Message& m) override { return proc_(m); }

 private:
  std::function<LRESULT(Message&)> proc_;
};

// Posts a message to a target from any thread. Returns false, releasing
// the record at once, when the target does not exist.
bool PostMessage(HWND hwnd, UINT msg, WPARAM wParam = 0, RecordPtr record = nullptr,
                 LPARAM lParam = 0);

// A message map entry: a message and the member function that handles it.
template <typename T>
struct MessageMapEntry {
  UINT msg;
  LRESULT (T::*handler)(Message&);
};

// Runs the handler that the map names for the message; nullopt when none does.
template <typename T, std::size_t N>
std::optional<LRESULT> DispatchMessageMap(T* self, const MessageMapEntry<T> (&map)[N], Message& m) {
  for (const auto& e : map)
    if (e.msg == m.msg) return (self->*e.handler)(m);
  return std::nullopt;
}

// What a file descriptor is watched for (any combination).
enum FdEvents : unsigned {
  kReadable = 1,
  kWritable = 2,
  kHangUp = 4,
  kError = 8,
};

// Watches a file descriptor on a loop; the callback gets the events that
// happened and returns false to stop watching.
class FdWatch {
 public:
  using Callback = std::function<bool(unsigned events)>;
  FdWatch(Loop& loop, int fd, unsigned events, Callback callback);
  ~FdWatch();
  FdWatch(const FdWatch&) = delete;
  FdWatch& operator=(const FdWatch&) = delete;

 private:
  struct Source;
  std::unique_ptr<Source> source_;
  Callback callback_;
};

}  // namespace loop
