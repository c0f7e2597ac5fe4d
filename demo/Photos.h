// The sample listing's three photos, drawn here and written as PNG files,
// so the demo carries no picture from anywhere else.
#pragma once

#include <array>
#include <string>

namespace demo {

struct Photo {
  std::string name;  // the file name under /app/photos/
  std::string png;   // the file's bytes
};

// Outside, living room, the view at night: 320 x 240 each.
const std::array<Photo, 3>& SamplePhotos();

}  // namespace demo
