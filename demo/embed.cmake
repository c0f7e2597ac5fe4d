# Writes OUT, a C++ source that holds every file below ROOT: the function
# demo::WebFile(path) gives a file's bytes by its path relative to ROOT.
file(GLOB_RECURSE files RELATIVE ${ROOT} ${ROOT}/*)
list(SORT files)
set(arrays "")
set(entries "")
set(i 0)
foreach(f IN LISTS files)
  file(READ ${ROOT}/${f} hex HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(APPEND arrays "const unsigned char f${i}[] = {${bytes}0};\n")
  string(APPEND entries "      {\"${f}\", std::string(reinterpret_cast<const char*>(f${i}), sizeof f${i} - 1)},\n")
  math(EXPR i "${i} + 1")
endforeach()
file(WRITE ${OUT}.new "// Made by embed.cmake from the files of demo/web: do not edit.
#include <map>
#include <string>

namespace demo {
namespace {
${arrays}}  // namespace

const std::string* WebFile(const std::string& path) {
  static const std::map<std::string, std::string> files = {
${entries}  };
  auto it = files.find(path);
  return it == files.end() ? nullptr : &it->second;
}

}  // namespace demo
")
file(COPY_FILE ${OUT}.new ${OUT} ONLY_IF_DIFFERENT)
