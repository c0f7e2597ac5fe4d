// The area of an <object> element in the hosting page, in which the
// element's control shows its browser (engine/view.h): frames are drawn on
// a canvas that fills the element, the mouse over it and the keys while it
// has the focus (through a text area of its own, so that input methods
// compose into it) go to the browser, and the page's clipboard serves copy
// and paste. Nothing in the page changes until the control connects.
#pragma once

#include <jsc/jsc.h>

#include "engine/view.h"

namespace host {

// The box of `element` (an <object>), in the script context of its frame.
com::ComPtr<engine::ViewBox> MakeViewBox(JSCContext* context, JSCValue* element);

}  // namespace host
