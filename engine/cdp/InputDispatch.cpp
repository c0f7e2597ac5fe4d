#include "engine/cdp/InputDispatch.h"

namespace cdp {

namespace {

// The protocol's names of the DOM's mouse buttons, by the DOM's number.
constexpr std::string_view kButtonNames[] = {"left", "middle", "right", "back", "forward"};

// Where the mouse goes when it leaves the box: outside the page, so that
// the site sees it leave (its hover menus close).
constexpr double kOutside = -1;

std::string_view ButtonName(int button) {
  if (button < 0 || button >= static_cast<int>(std::size(kButtonNames))) return "none";
  return kButtonNames[button];
}

}  // namespace

protocol::Command MouseCommand(const engine::MouseInput& input) {
  protocol::MouseEvent e;
  e.x = input.x;
  e.y = input.y;
  e.buttons = input.buttons;
  e.modifiers = input.modifiers;
  switch (input.kind) {
    case engine::MouseInput::Move:
      e.type = "mouseMoved";
      break;
    case engine::MouseInput::Leave:
      e.type = "mouseMoved";
      e.x = e.y = kOutside;
      break;
    case engine::MouseInput::Down:
    case engine::MouseInput::Up:
      e.type = input.kind == engine::MouseInput::Down ? "mousePressed" : "mouseReleased";
      e.button = ButtonName(input.button);
      e.clickCount = input.clickCount;
      break;
    case engine::MouseInput::Wheel:
      e.type = "mouseWheel";
      e.deltaX = input.deltaX;
      e.deltaY = input.deltaY;
      break;
  }
  return protocol::DispatchMouseEvent(e);
}

protocol::Command KeyCommand(const engine::KeyInput& input) {
  protocol::KeyEvent e;
  // A key that types text goes down as one that does, so the site gets
  // its keypress and its input; other keys only go down and up.
  if (input.kind == engine::KeyInput::Up) e.type = "keyUp";
  else e.type = input.text.empty() ? "rawKeyDown" : "keyDown";
  e.key = input.key;
  e.code = input.code;
  e.text = input.kind == engine::KeyInput::Up ? std::string_view() : std::string_view(input.text);
  e.keyCode = input.keyCode;
  e.modifiers = input.modifiers;
  e.location = input.location;
  e.autoRepeat = input.repeat;
  return protocol::DispatchKeyEvent(e);
}

}  // namespace cdp
