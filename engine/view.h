// The view of a browser: its page shown in a box of the hosting page (the
// control's area) and driven by the input the box receives. The container
// makes the box; the control hands it to its browser (Browser::ShowView);
// from then on the browser and the box talk to each other directly:
//
//   browser --Paint, SetCursor--> box
//   box --OnShown, OnPainted, OnMouse, OnKey, OnText, SelectedText--> browser
//
// A control without an area has no box and its browser shows nothing.
// Everything runs on the page's thread; no call here waits for the site.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "platform/com.h"

namespace engine {

// The box as the container's site hands it out:
// QueryService(SID_ViewBox, IID_ViewBox).
inline constexpr com::GUID SID_ViewBox{0x7B1E0A01, 0x52C4, 0x4F0B, {0x9A, 0x11, 0x3E, 0x6C, 0x51, 0x20, 0x00, 0x10}};
inline constexpr com::IID IID_ViewBox{0x7B1E0A01, 0x52C4, 0x4F0B, {0x9A, 0x11, 0x3E, 0x6C, 0x51, 0x20, 0x00, 0x11}};

// One picture of the page, encoded by the engine, at the page's size in
// CSS pixels (the box's own size once the page has followed it).
struct ViewFrame {
  int id = 0;                // handed back by OnPainted
  std::string_view mimeType;  // "image/jpeg" or "image/png"
  std::span<const std::uint8_t> bytes;
  int width = 0, height = 0;
};

// Modifier keys held, as bits.
enum ViewModifiers : int {
  kModAlt = 1,
  kModCtrl = 2,
  kModMeta = 4,
  kModShift = 8,
};

// Mouse buttons, with the DOM's numbers.
enum ViewButton : int {
  kButtonLeft = 0,
  kButtonMiddle = 1,
  kButtonRight = 2,
  kButtonBack = 3,
  kButtonForward = 4,
};

// A mouse event in the box, in CSS pixels from its top-left corner.
struct MouseInput {
  enum Kind { Move, Down, Up, Wheel, Leave } kind = Move;
  double x = 0, y = 0;
  int button = kButtonLeft;  // for Down and Up
  int buttons = 0;           // buttons held, as the DOM's bits (1 left, 2 right, 4 middle)
  int clickCount = 1;        // 2 for the second press of a double click
  double deltaX = 0, deltaY = 0;  // for Wheel, in CSS pixels
  int modifiers = 0;
};

// A key pressed or released while the box has the focus, as the DOM of
// the hosting page reports it. Keys an input method is composing with are
// not reported; its committed text comes through OnText.
struct KeyInput {
  enum Kind { Down, Up } kind = Down;
  std::string key;   // the DOM's key ("a", "Enter", "中")
  std::string code;  // the DOM's code ("KeyA")
  int keyCode = 0;   // the DOM's keyCode (the platform's virtual key)
  std::string text;  // what the key types, for Down; empty for a key that types nothing
  int modifiers = 0;
  int location = 0;
  bool repeat = false;
};

// What the browser takes from the box (the browser implements it).
class ViewSink {
 public:
  // The box can be seen (it has an area, lies in the page's viewport, and
  // the page is shown) or no longer. Nothing is painted while it is not.
  virtual void OnShown(bool shown) = 0;
  // The frame with this id has been drawn (or dropped): the next may come.
  virtual void OnPainted(int frameId) = 0;
  virtual void OnMouse(const MouseInput& input) = 0;
  virtual void OnKey(const KeyInput& input) = 0;
  // Text to insert where the site's caret is: committed by an input
  // method, or pasted (UTF-8).
  virtual void OnText(std::string_view text) = 0;
  // The text the site has selected (for a copy); empty when none.
  virtual std::string SelectedText() = 0;

 protected:
  ~ViewSink() = default;
};

// The control's area in the hosting page (the container implements it).
class ViewBox : public com::IUnknown {
 public:
  // The box's state and input go to `sink` from now on; it is told at once
  // whether the box is shown. Null disconnects: the box shows nothing more.
  virtual com::HRESULT Connect(ViewSink* sink) = 0;
  // Draws a frame over the whole box; OnPainted(frame.id) follows, also
  // when the frame could not be drawn. The bytes are the caller's: valid
  // during the call only.
  virtual com::HRESULT Paint(const ViewFrame& frame) = 0;
  // The mouse cursor over the box, as a CSS cursor name ("pointer", "text").
  virtual com::HRESULT SetCursor(std::string_view cursor) = 0;

 protected:
  ~ViewBox() = default;
};

}  // namespace engine
