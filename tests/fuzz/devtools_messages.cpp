// The browser's pipe: NUL-framed JSON messages (lone surrogate escapes
// included), read as the reader thread reads them.
#include "engine/cdp/Connection.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string stream(fuzz::Text(data, size));
  cdp::Connection::TakeMessages(stream, [](std::string_view message) {
    cdp::Connection::Message m = cdp::Connection::ReadMessage(message);
    if (m.kind == cdp::Connection::Message::EventOf) fuzz::Require(m.event.params.isObject(), "event parameters that are no object");
    if (m.kind == cdp::Connection::Message::ReplyTo && m.reply.ok) fuzz::Require(m.reply.result.isObject(), "a result that is no object");
  });
  // What is left is the start of a message still to come: it holds no NUL.
  fuzz::Require(stream.find('\0') == std::string::npos, "a whole message was left unread");
  return 0;
}
