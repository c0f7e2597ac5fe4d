// A program's automation class as a name on the session bus. Each process
// exports its object on its own bus connection and asks for the class's
// well-known name in the queue, so several instances run side by side: the
// first holds the name, the next takes over when it ends, and a caller that
// attached to one instance stays with that instance.
//
// A caller attaches with the method Attach() and lets go with Detach() or
// by leaving the bus. The class is made known to the bus by an activation
// file, so that a call to the name starts the program (with the Embedding
// switch) when no instance runs.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace automation {

// The activation file of a bus name: $XDG_DATA_HOME/dbus-1/services/NAME.service
// (XDG_DATA_HOME defaults to ~/.local/share).
std::string ServiceFilePath(std::string_view busName);
// Writes it (atomically) so that the bus starts `program` with `argument`.
bool WriteServiceFile(std::string_view busName, std::string_view program, std::string_view argument);
// Removes it; true when it is gone (also when there was none).
bool RemoveServiceFile(std::string_view busName);

class Server {
 public:
  // Called on the thread that started the server, from its main context.
  struct Events {
    std::function<void()> attached;  // a caller attached
    std::function<void()> detached;  // a caller let go or left the bus
  };

  Server();
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Exports the object (interface `busName` at `objectPath`) and queues for
  // the name. False when no session bus can be reached.
  bool Start(std::string_view busName, std::string_view objectPath, Events events);
  // Callers attached now.
  int attachedCount() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace automation
