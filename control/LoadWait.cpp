#include "control/LoadWait.h"

#include <chrono>
#include <thread>

#include "control/Messages.h"

unsigned WaitThreadProc(std::unique_ptr<CWaitValue> job) {
  auto& flag = *job->pCtrl.pageLoaded;
  // Poll, and take the flag when it is set: testing and clearing are one
  // step, so of two waits only one sees a load; the other goes on.
  int loaded = 0;
  for (int i = 0; i < kWaitPolls; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(kWaitPollMs));
    std::uint8_t expected = 1;
    if (flag.compare_exchange_strong(expected, 0)) {
      loaded = 1;
      break;
    }
  }
  // The outcome and the job go to the control's window; when that is gone
  // the job is released with the message.
  loop::HWND target = job->pCtrl.hWnd;
  return loop::PostMessage(target, WM_WAIT_RESULT, static_cast<loop::WPARAM>(loaded), std::move(job)) ? 1 : 0;
}

void StartWaitThread(std::unique_ptr<CWaitValue> job) { std::thread(WaitThreadProc, std::move(job)).detach(); }
