// Processes: what /proc tells about a running process, and starting programs
// without waiting for them.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace process {

// The name of a running process (/proc/PID/comm: the executable's file name,
// at most 15 bytes). nullopt when no such process runs; a process that has
// ended but is not yet reaped by its parent counts as ended.
std::optional<std::string> RunningName(pid_t pid);

// The full path of this process's executable; empty when it cannot be read.
std::string ExecutablePath();

// This process's id.
pid_t CurrentId();

// The folder of the running program's executable, or empty when it cannot
// be told.
std::string ProgramDirectory();

// Starts a program (a path, not searched in PATH) with the given arguments
// after argv[0], in the caller's environment. The child's id, or -1.
pid_t Spawn(const std::string& path, const std::vector<std::string>& args);

// Starts a program as Spawn does, and reaps it whenever it ends without
// anyone waiting for it: it never stays behind as a zombie of this process,
// and nothing here ever blocks on it. The child's id, or -1.
pid_t SpawnUnattended(const std::string& path, const std::vector<std::string>& args);

// Waits for a child started by this process to end, at most timeoutMs
// milliseconds (negative: no limit). Its exit code (128 + signal number when a
// signal ended it), or nullopt when it is still running or not our child.
std::optional<int> WaitExit(pid_t pid, int timeoutMs);

}  // namespace process
