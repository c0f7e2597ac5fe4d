// The load wait: after a method that starts a load, a thread of its own
// watches the hidden browser's page-loaded flag and reports to the control
// whether the next top-level document completed in time.
#pragma once

#include <memory>

#include "control/Requests.h"

// The record of one load wait: owned by its waiting thread, then by the
// handler of its outcome.
struct CWaitValue : loop::Record {
  CWaitValue() : pPara(std::make_unique<postPara>()) {}
  CString sBackJson;               // the method's appendMsg
  std::unique_ptr<postPara> pPara; // not used by the wait
  CCtrlRef pCtrl;
};

// Polls the page-loaded flag every 300 ms, at most 30 times, then posts
// WM_WAIT_RESULT (1 when the flag was seen set, and then cleared) with the job.
unsigned WaitThreadProc(std::unique_ptr<CWaitValue> job);
void StartWaitThread(std::unique_ptr<CWaitValue> job);

inline constexpr int kWaitPollMs = 300;
inline constexpr int kWaitPolls = 30;
