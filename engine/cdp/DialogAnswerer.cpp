#include "engine/cdp/DialogAnswerer.h"

#include <chrono>

namespace cdp {

DialogAnswerer::DialogAnswerer(Connection& c) : conn_(c), thread_([this] { Run(); }) {}

DialogAnswerer::~DialogAnswerer() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  cv_.notify_all();
  thread_.join();
}

void DialogAnswerer::Opened(const std::string& session) {
  {
    std::lock_guard lock(mutex_);
    ++open_[session];
    refusals_[session] = 0;
  }
  cv_.notify_all();
}

void DialogAnswerer::Closed(const std::string& session) {
  std::lock_guard lock(mutex_);
  if (open_[session] > 0) --open_[session];
}

void DialogAnswerer::Run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    cv_.wait(lock, [&] { return stop_ || Next() != nullptr; });
    if (stop_) return;
    const std::string session = Next()->first;
    lock.unlock();
    Reply r = conn_.Call(protocol::AcceptDialog(), session, kAnswerMs);
    lock.lock();
    if (r.ok) {
      refusals_[session] = 0;
      // Its closing is reported separately; give it a moment to arrive.
      cv_.wait_for(lock, std::chrono::milliseconds(kRetryMs / 4), [&] { return stop_; });
      continue;
    }
    // Nothing showing (yet): try again shortly, and give up after a while.
    if (++refusals_[session] >= kMaxRefusals) {
      open_[session] = 0;
      refusals_[session] = 0;
      lock.unlock();
      CloseIfHeld(session);
      lock.lock();
    }
    cv_.wait_for(lock, std::chrono::milliseconds(kRetryMs), [&] { return stop_; });
  }
}

void DialogAnswerer::CloseIfHeld(const std::string& session) {
  if (conn_.Call(protocol::Evaluate("0"), session, kProbeMs).ok || !conn_.alive()) return;
  const std::string targetId = protocol::ReadTargetId(conn_.Call(protocol::GetTargetInfo(), session, kAnswerMs));
  if (targetId.empty()) return;
  conn_.Call(protocol::CloseTarget(targetId), {}, kAnswerMs);
}

std::pair<const std::string, int>* DialogAnswerer::Next() {
  for (auto& entry : open_)
    if (entry.second > 0) return &entry;
  return nullptr;
}

}  // namespace cdp
