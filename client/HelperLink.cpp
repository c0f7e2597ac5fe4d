#include "client/HelperLink.h"

#include "helper/PipeWire.h"
#include "platform/pipe.h"

namespace helperlink {

using pipewire::kGetUrl;
using pipewire::kPipeName;

SendResult SendToHelper(std::string_view text) {
  namedpipe::Exchange ex = namedpipe::Transact(kPipeName, text, kMaxReply);
  switch (ex.status) {
    case namedpipe::ClientStatus::Ok:
      return SendResult::Sent;
    case namedpipe::ClientStatus::NoServer:
      return SendResult::NoHelper;
    case namedpipe::ClientStatus::Failed:
      break;
  }
  return SendResult::Failed;
}

std::optional<std::string> FetchTransfer(std::string_view userName) {
  std::string request(userName);
  request += kGetUrl;
  namedpipe::Exchange ex = namedpipe::Transact(kPipeName, request, kMaxReply);
  if (ex.status != namedpipe::ClientStatus::Ok) return std::nullopt;
  return std::move(ex.reply);
}

}  // namespace helperlink
