#include "helper/PipeServerThread.h"

#include <chrono>
#include <exception>

#include "helper/PipeWire.h"
#include "helper/Requests.h"
#include "platform/pipe.h"

namespace {

// Clients are served one after another, so a client that sends or reads
// slowly would hold every other one up. Its whole exchange (request and
// reply) gets this long; then its connection is given up.
constexpr std::chrono::milliseconds kExchangeDeadline{10000};

}  // namespace

int PipeServerThread() {
  namedpipe::Server server;
  // Create the pipe. When another live helper already serves it, this
  // one ends: two helpers would each keep half of the registrations.
  switch (server.Open(pipewire::kPipeName)) {
    case namedpipe::Server::OpenResult::Listening:
      break;
    case namedpipe::Server::OpenResult::AlreadyServed:
    case namedpipe::Server::OpenResult::Failed:
      return kExitStopped;
  }
  ClearLists();
  for (;;) {
    // Wait for the next client.
    namedpipe::Connection client = server.Accept();
    if (!client.valid()) return kExitServerLost;
    client.SetDeadline(kExchangeDeadline);
    // Read one request; when that fails, the reply is empty and no rule applies.
    RequestOutcome outcome;
    if (auto request = client.ReadRequest()) {
      try {
        outcome = HandleRequest(*request);
      } catch (const std::exception&) {
        outcome = RequestOutcome{};  // out of memory: an empty reply, the lists as they are
      }
    }
    // Stop: answer, let the client go, give up the pipe and end.
    if (outcome.stop) {
      client.WriteReply(outcome.reply);
      client = namedpipe::Connection();
      server.Close();
      return kExitStopped;
    }
    // Answer. A client that has gone away costs only its own connection
    // (the helper used to stop serving everyone after a failed write).
    client.WriteReply(outcome.reply);
    // The connection closes here; back to waiting.
  }
}
