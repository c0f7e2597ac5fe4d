// The helper's pipe-server thread: owns the pipe and the three lists and
// serves one connection after another.
#pragma once

// Exit codes of the helper process.
inline constexpr int kExitStopped = 0;      // stop request, pipe unavailable, or another helper serves
inline constexpr int kExitServerLost = 1;   // waiting for connections failed for good

// Serves the pipe until a stop request; the process's exit code.
int PipeServerThread();
