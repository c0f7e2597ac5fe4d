// velmoraClient: the session helper. A background process without any
// window: the main thread waits while the pipe-server thread serves.
// The command line is not read.
#include <csignal>
#include <thread>

#include "helper/PipeServerThread.h"

int main() {
  // A client that goes away must not end the helper through SIGPIPE.
  std::signal(SIGPIPE, SIG_IGN);
  int code = kExitStopped;
  std::thread server([&code] { code = PipeServerThread(); });
  server.join();
  return code;
}
