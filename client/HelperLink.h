// The client's side of the helper pipe: one text request, one reply, per
// connection. Every call blocks the calling thread while the helper serves
// other clients, and returns at once when no helper runs.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace helperlink {

// Clients read at most this many bytes of a reply.
inline constexpr std::size_t kMaxReply = 100;

enum class SendResult {
  Sent,      // the helper took the text (its reply is discarded)
  NoHelper,  // no helper runs: the text is lost
  Failed,    // the helper was reached but the exchange broke off
};

// Sends one text to the helper ("alice&4242" at start, "alice*" at the end)
// and discards its reply.
SendResult SendToHelper(std::string_view text);

// The hand-over exchange: sends userName + "+geturl" and gives the reply up
// to its first zero byte (at most kMaxReply bytes; empty when nothing is
// stored). nullopt when no helper runs or any step fails.
std::optional<std::string> FetchTransfer(std::string_view userName);

}  // namespace helperlink
