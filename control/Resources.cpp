#include "control/Resources.h"

namespace wendex {

namespace {

struct StringEntry {
  int id;
  const char* text;
};

constexpr StringEntry kStrings[] = {
    {IDS_WENDEX, "Wendex Control"},
    {IDS_WENDEX_PPG, "Wendex Property Page"},
    {IDS_WENDEX_PPG_CAPTION, "常规"},
};

}  // namespace

const char* LoadString(int id) {
  for (const auto& s : kStrings)
    if (s.id == id) return s.text;
  return "";
}

// The version block, kept in a section of its own so that tools can read it
// from the file (readelf -p .velmora.version Wendex.ocx).
[[gnu::used, gnu::section(".velmora.version")]] const char kVersionBlock[] =
    "FileVersion=1.0.0.15\0"
    "ProductVersion=1.0.0.15\0"
    "FileDescription=全网发布控件\0"
    "ProductName=Velmora\0"
    "InternalName=Wendex.ocx\0"
    "OriginalFilename=Wendex.ocx\0"
    "CompanyName=Velmora";

}  // namespace wendex
