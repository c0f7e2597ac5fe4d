// The box's input as the protocol's input commands, sent to the page's
// own session: the browser routes them to the frame under the mouse or
// with the focus, as it does for a person's input.
#pragma once

#include "engine/cdp/Protocol.h"
#include "engine/view.h"

namespace cdp {

protocol::Command MouseCommand(const engine::MouseInput& input);
protocol::Command KeyCommand(const engine::KeyInput& input);

}  // namespace cdp
