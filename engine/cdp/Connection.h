// A browser process driven over the DevTools pipe: commands go to its fd 3,
// replies and events come from its fd 4, each a JSON text ended by a NUL
// byte. A reader thread owns fd 4: replies wake the caller waiting for
// them; events are handed to the page's thread, in arrival order, through
// a message target of the loop the connection was made on. No TCP
// debugging port is ever opened.
#pragma once

#include <json/json.h>
#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "engine/cdp/Protocol.h"
#include "platform/loop.h"

namespace cdp {

struct Event {
  std::string method;
  Json::Value params;
  std::string sessionId;
};

struct LaunchOptions {
  std::string executable;  // empty: $VELMORA_CHROMIUM, else the installed browser
  bool headless = true;    // false when VELMORA_SHOW_BROWSER=1
  // Frames of other sites in processes of their own; on when
  // VELMORA_SITE_ISOLATION=1 (see Launch for why it is off by default).
  bool siteIsolation = false;
  static LaunchOptions FromEnvironment();
};

class Connection {
 public:
  // Events arrive on the loop's thread; the "Connection.closed" event (no
  // params) tells that the browser went away.
  using EventSink = std::function<void(const Event&)>;
  // Runs on the reader thread before an event is queued; it may Send()
  // (never Call()). Returns true when the event needs no further delivery.
  using Interceptor = std::function<bool(Connection&, const Event&)>;

  // Starts a browser with a fresh profile folder of its own; null on failure.
  static std::unique_ptr<Connection> Launch(loop::Loop& loop, const LaunchOptions& options,
                                            std::string* error = nullptr);
  // Closes the browser, waits for it and removes its profile folder.
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Sends a command and waits for its reply (or for the browser to go away,
  // or for the time to run out).
  Reply Call(std::string_view method, const Json::Value& params = Json::Value(Json::objectValue),
             std::string_view sessionId = {}, int timeoutMs = 20000);
  // Sends a command and returns at once; `onReply` runs later on the loop's
  // thread with the reply (or with a failure when the browser went away).
  // For commands whose reply may take long, such as a navigation that waits
  // for the site's answer.
  using ReplyHandler = std::function<void(const Reply&)>;
  bool CallAsync(std::string_view method, const Json::Value& params, std::string_view sessionId,
                 ReplyHandler onReply);
  // Sends a command whose reply nobody waits for.
  bool Send(std::string_view method, const Json::Value& params = Json::Value(Json::objectValue),
            std::string_view sessionId = {});

  // The same for the typed commands of Protocol.h.
  Reply Call(const protocol::Command& command, std::string_view sessionId = {}, int timeoutMs = 20000) {
    return Call(command.method, command.params, sessionId, timeoutMs);
  }
  bool CallAsync(const protocol::Command& command, std::string_view sessionId, ReplyHandler onReply) {
    return CallAsync(command.method, command.params, sessionId, std::move(onReply));
  }
  bool Send(const protocol::Command& command, std::string_view sessionId = {}) {
    return Send(command.method, command.params, sessionId);
  }

  void SetEventSink(EventSink sink) { sink_ = std::move(sink); }
  void SetInterceptor(Interceptor interceptor);

  bool alive() const { return alive_; }
  pid_t pid() const { return pid_; }
  const std::string& profileDir() const { return profileDir_; }

  // Chromium escapes every non-ASCII character; a lone surrogate escape
  // would make the parser refuse the whole message, so it becomes U+FFFD.
  static std::string ReplaceLoneSurrogates(std::string_view json);

  // One message of the browser (its text without the NUL), read. A reply
  // that cannot be read but whose id can still be found is a failed
  // reply, so that its caller is answered at once instead of waiting out
  // its time; anything else that cannot be read is Unreadable and dropped.
  // Never throws, whatever the text.
  struct Message {
    enum Kind { Unreadable, ReplyTo, EventOf } kind = Unreadable;
    int id = 0;  // of a reply
    Reply reply;
    Event event;
  };
  static Message ReadMessage(std::string_view text);
  // Hands each whole message of what was read from the pipe (each ended by
  // a NUL) to `take`, in order, and keeps only the start of the next one.
  static void TakeMessages(std::string& buffer, const std::function<void(std::string_view)>& take);

 private:
  Connection() = default;
  loop::LRESULT OnPosted(loop::Message& m);
  void ReaderLoop();
  void Dispatch(std::string_view text);
  void PostReply(ReplyHandler handler, Reply reply);
  bool Write(const std::string& text);
  int NextId() { return ++nextId_; }
  static Json::Value Command(int id, std::string_view method, const Json::Value& params,
                             std::string_view sessionId);

  pid_t pid_ = -1;
  int writeFd_ = -1;
  int readFd_ = -1;
  std::string profileDir_;
  std::atomic<bool> alive_{false};
  std::atomic<int> nextId_{0};
  std::thread reader_;
  std::mutex writeMutex_;

  std::mutex replyMutex_;
  std::condition_variable replyCv_;
  std::map<int, std::optional<Reply>> pending_;
  std::map<int, ReplyHandler> asyncPending_;

  std::mutex interceptorMutex_;
  Interceptor interceptor_;
  EventSink sink_;
  std::unique_ptr<loop::FunctionTarget> target_;
};

}  // namespace cdp
