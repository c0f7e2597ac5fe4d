// Window messages of the control.
#pragma once

#include "platform/loop.h"

constexpr loop::UINT WM_WAIT_RESULT = 0x467;  // load wait outcome: 1 loaded, 0 not; a CWaitValue
constexpr loop::UINT WM_UNUSED_468 = 0x468;   // does nothing
constexpr loop::UINT WM_POST_RESULT = 0x469;  // POST outcome: completion code; a CThreadValue
constexpr loop::UINT WM_GET_RESULT = 0x46A;   // GET outcome: completion code; a CThreadValue
constexpr loop::UINT WM_UNUSED_46B = 0x46B;   // does nothing
