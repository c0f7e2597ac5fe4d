// The programs' main icon, drawn here at any size: a rounded blue tile
// with a white roof and door, the service's house.
#pragma once

#include <gdk-pixbuf/gdk-pixbuf.h>

#include <cstdint>
#include <vector>

namespace host::icon {

// A new pixbuf of size x size pixels.
GdkPixbuf* MainIconPixbuf(int size);

// The same picture as ARGB32 pixels in network byte order, row by row (the
// form status-notifier hosts take).
std::vector<std::uint8_t> MainIconArgb(int size);

}  // namespace host::icon
