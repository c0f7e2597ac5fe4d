// Message boxes. The container chooses a provider: a modal dialog in a
// desktop client, a log line where no display exists. When
// VELMORA_MSGBOX_LOG names a file, every box is appended to it as one line
// (caption, a TAB, the text) and dismissed at once, whatever the provider.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace msgbox {

// Box styles and answers, with the platform's values.
constexpr unsigned MB_OK = 0x0;
constexpr unsigned MB_OKCANCEL = 0x1;
constexpr unsigned MB_YESNO = 0x4;
constexpr unsigned MB_ICONERROR = 0x10;
constexpr unsigned MB_ICONINFORMATION = 0x40;
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDYES = 6;
constexpr int IDNO = 7;

class Provider {
 public:
  virtual ~Provider() = default;
  // Texts are UTF-8. Blocks the calling thread until the box is dismissed.
  virtual int Show(std::string_view caption, std::string_view text, unsigned style) = 0;
};

// Writes "caption\ttext" lines to a file (newlines inside a text are
// written as the two characters \n, so one box is one line).
class FileProvider : public Provider {
 public:
  explicit FileProvider(std::string path) : path_(std::move(path)) {}
  int Show(std::string_view caption, std::string_view text, unsigned style) override;

 private:
  std::string path_;
};

// For machines without a display: one line on standard error.
class LogProvider : public Provider {
 public:
  int Show(std::string_view caption, std::string_view text, unsigned style) override;
};

// Installs the provider used by Show (process-wide); the log provider is
// used until one is installed.
void SetProvider(std::unique_ptr<Provider> provider);

// Shows a box with UTF-8 texts. VELMORA_MSGBOX_LOG, when set, takes precedence.
int Show(std::string_view caption, std::string_view text, unsigned style = MB_OK);
// Shows a box whose texts are in the ANSI code page.
int ShowAnsi(std::string_view caption, std::string_view text, unsigned style = MB_OK);

// The single line written for a box.
std::string FormatLine(std::string_view caption, std::string_view text);

}  // namespace msgbox
