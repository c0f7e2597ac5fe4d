#include "platform/loop.h"

#include <glib-unix.h>
#include <glib.h>

#include <atomic>
#include <deque>
#include <mutex>
#include <unordered_map>

// GLib is not built with ThreadSanitizer, so the hand-over of a source's
// data from the posting thread to the loop's thread through it is
// invisible there; these make it visible (and are nothing otherwise).
#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void* addr);
extern "C" void __tsan_release(void* addr);
#define HANDED_OVER(p) __tsan_release(p)
#define TAKEN_OVER(p) __tsan_acquire(p)
#else
#define HANDED_OVER(p) ((void)(p))
#define TAKEN_OVER(p) ((void)(p))
#endif

namespace loop {

struct Loop::Queue {
  GMainContext* context = nullptr;
  GMainLoop* mainLoop = nullptr;  // made by the first Run
  std::mutex mutex;
  std::deque<std::pair<HWND, Message>> messages;
  bool scheduled = false;
  bool closed = false;
};

namespace {

struct TargetEntry {
  MessageTarget* target;
  std::shared_ptr<Loop::Queue> queue;
};

std::mutex g_targetsMutex;
std::unordered_map<HWND, TargetEntry>& Targets() {
  static auto* targets = new std::unordered_map<HWND, TargetEntry>();
  return *targets;
}
std::atomic<HWND> g_nextHwnd{1};

// Ends a source and lets go of it.
void DestroySource(GSource* source) {
  g_source_destroy(source);
  g_source_unref(source);
}

std::shared_ptr<Loop::Queue> QueueOf(HWND hwnd) {
  std::lock_guard lock(g_targetsMutex);
  auto it = Targets().find(hwnd);
  return it == Targets().end() ? nullptr : it->second.queue;
}

MessageTarget* TargetOf(HWND hwnd) {
  std::lock_guard lock(g_targetsMutex);
  auto it = Targets().find(hwnd);
  return it == Targets().end() ? nullptr : it->second.target;
}

void ScheduleDrain(const std::shared_ptr<Loop::Queue>& queue);

}  // namespace

// Delivers queued messages on the loop's thread, in order. A batch is the
// queue's length at the start, so handlers that post more do not starve
// the other sources of the context.
struct Delivery {
  static gboolean Drain(gpointer data) {
    TAKEN_OVER(data);
    auto& queue = *static_cast<std::shared_ptr<Loop::Queue>*>(data);
    std::size_t batch;
    {
      std::lock_guard lock(queue->mutex);
      batch = queue->messages.size();
    }
    for (std::size_t i = 0; i < batch; ++i) {
      std::pair<HWND, Message> item;
      {
        std::lock_guard lock(queue->mutex);
        if (queue->messages.empty()) break;
        item = std::move(queue->messages.front());
        queue->messages.pop_front();
      }
      // The target may have gone since the post: then the record is dropped here.
      if (MessageTarget* target = TargetOf(item.first)) target->WindowProc(item.second);
    }
    std::lock_guard lock(queue->mutex);
    if (queue->messages.empty() || queue->closed) {
      queue->scheduled = false;
      return G_SOURCE_REMOVE;
    }
    return G_SOURCE_CONTINUE;
  }
  static void Free(gpointer data) {
    TAKEN_OVER(data);
    delete static_cast<std::shared_ptr<Loop::Queue>*>(data);
  }
  static LRESULT Deliver(MessageTarget* t, Message& m) { return t->WindowProc(m); }
  // A timer's tick: WM_TIMER to its target while the target lives.
  struct TimerData {
    HWND hwnd;
    WPARAM id;
  };
  static gboolean Tick(gpointer data) {
    auto* t = static_cast<TimerData*>(data);
    if (MessageTarget* target = TargetOf(t->hwnd)) {
      Message m{WM_TIMER, t->id, 0, nullptr};
      target->WindowProc(m);
    }
    return G_SOURCE_CONTINUE;
  }
};

// A timer of a target: its source, ended when the timer goes.
struct MessageTarget::Timer {
  GSource* source;
  ~Timer() { DestroySource(source); }
};

namespace {

void ScheduleDrain(const std::shared_ptr<Loop::Queue>& queue) {
  // An idle source rather than g_main_context_invoke: invoke runs at once
  // when the poster is the loop's own thread, which would break post semantics.
  GSource* source = g_idle_source_new();
  g_source_set_priority(source, G_PRIORITY_DEFAULT);
  auto* data = new std::shared_ptr<Loop::Queue>(queue);
  HANDED_OVER(data);
  g_source_set_callback(source, &Delivery::Drain, data, &Delivery::Free);
  g_source_attach(source, queue->context);
  g_source_unref(source);
}

}  // namespace

Loop::Loop(Context context) : queue_(std::make_shared<Queue>()) {
  queue_->context = context == Context::Own ? g_main_context_new() : g_main_context_ref(g_main_context_default());
}

Loop::~Loop() {
  std::deque<std::pair<HWND, Message>> dropped;
  {
    std::lock_guard lock(queue_->mutex);
    queue_->closed = true;
    dropped.swap(queue_->messages);
  }
  dropped.clear();  // records released outside the lock
  if (queue_->mainLoop) g_main_loop_unref(queue_->mainLoop);
  g_main_context_unref(queue_->context);
}

void Loop::Run() {
  if (!queue_->mainLoop) queue_->mainLoop = g_main_loop_new(queue_->context, FALSE);
  g_main_loop_run(queue_->mainLoop);
}

void Loop::Quit() {
  if (queue_->mainLoop) g_main_loop_quit(queue_->mainLoop);
}

bool Loop::RunUntil(const std::function<bool()>& done, int timeoutMs) {
  gint64 end = g_get_monotonic_time() + static_cast<gint64>(timeoutMs) * 1000;
  while (!done()) {
    if (g_get_monotonic_time() >= end) return false;
    // Wake at least every 10 ms to look at the clock.
    GSource* tick = g_timeout_source_new(10);
    g_source_set_callback(tick, [](gpointer) -> gboolean { return G_SOURCE_REMOVE; }, nullptr, nullptr);
    g_source_attach(tick, queue_->context);
    g_main_context_iteration(queue_->context, TRUE);
    g_source_destroy(tick);
    g_source_unref(tick);
  }
  return true;
}

Loop& DefaultLoop() {
  static Loop* loop = new Loop(Loop::Context::Default);
  return *loop;
}

MessageTarget::MessageTarget(Loop& loop) : loop_(loop), hwnd_(g_nextHwnd++) {
  std::lock_guard lock(g_targetsMutex);
  Targets().emplace(hwnd_, TargetEntry{this, loop.queue_});
}

MessageTarget::~MessageTarget() {
  timers_.clear();
  std::lock_guard lock(g_targetsMutex);
  Targets().erase(hwnd_);
}

LRESULT MessageTarget::SendMessage(UINT msg, WPARAM wParam, LPARAM lParam, RecordPtr record) {
  Message m{msg, wParam, lParam, std::move(record)};
  return WindowProc(m);
}

void MessageTarget::SetTimer(WPARAM id, unsigned ms) {
  KillTimer(id);
  GSource* source = g_timeout_source_new(ms);
  g_source_set_callback(source, &Delivery::Tick, new Delivery::TimerData{hwnd_, id},
                        [](gpointer p) { delete static_cast<Delivery::TimerData*>(p); });
  g_source_attach(source, loop_.queue_->context);
  timers_[id] = std::unique_ptr<Timer>(new Timer{source});
}

void MessageTarget::KillTimer(WPARAM id) { timers_.erase(id); }

bool PostMessage(HWND hwnd, UINT msg, WPARAM wParam, RecordPtr record, LPARAM lParam) {
  std::shared_ptr<Loop::Queue> queue = QueueOf(hwnd);
  if (!queue) return false;  // the record is released on return
  bool schedule = false;
  {
    std::lock_guard lock(queue->mutex);
    if (queue->closed) return false;
    queue->messages.emplace_back(hwnd, Message{msg, wParam, lParam, std::move(record)});
    if (!queue->scheduled) {
      queue->scheduled = true;
      schedule = true;
    }
  }
  if (schedule) ScheduleDrain(queue);
  return true;
}

namespace {

// Our events and the context's conditions, one to one.
constexpr std::pair<unsigned, GIOCondition> kFdConditions[] = {
    {kReadable, G_IO_IN}, {kWritable, G_IO_OUT}, {kHangUp, G_IO_HUP}, {kError, G_IO_ERR}};

GIOCondition ToCondition(unsigned events) {
  unsigned c = 0;
  for (auto [event, condition] : kFdConditions)
    if (events & event) c |= condition;
  return static_cast<GIOCondition>(c);
}

unsigned ToEvents(GIOCondition condition) {
  unsigned e = 0;
  for (auto [event, c] : kFdConditions)
    if (condition & c) e |= event;
  return e;
}

}  // namespace

// The watch's source, ended when the watch goes.
struct FdWatch::Source {
  GSource* source;
  ~Source() { DestroySource(source); }
  static gboolean OnReady(gint, GIOCondition condition, gpointer data) {
    auto* watch = static_cast<FdWatch*>(data);
    return watch->callback_(ToEvents(condition)) ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
  }
};

FdWatch::FdWatch(Loop& loop, int fd, unsigned events, Callback callback)
    : source_(new Source{g_unix_fd_source_new(fd, ToCondition(events))}), callback_(std::move(callback)) {
  g_source_set_callback(source_->source,
                        reinterpret_cast<GSourceFunc>(reinterpret_cast<void (*)()>(&Source::OnReady)), this, nullptr);
  g_source_attach(source_->source, loop.queue_->context);
}

FdWatch::~FdWatch() = default;

}  // namespace loop
