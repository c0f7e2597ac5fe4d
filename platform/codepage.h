// The ANSI code page: the narrow text encoding of every deliverable.
// It is named by VELMORA_CODEPAGE (an iconv name) and defaults to GBK.
// Characters the code page lacks become its default character "?"; bytes
// that are not valid in the source encoding become "?" (U+FFFD towards
// Unicode). Nothing here throws or crashes on bad input.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace codepage {

// The iconv name of the code page in use (read once from the environment).
const std::string& Name();

std::string AnsiToUtf8(std::string_view ansi);
std::string Utf8ToAnsi(std::string_view utf8);
std::u16string AnsiToWide(std::string_view ansi);
std::string WideToAnsi(std::u16string_view wide);
std::u16string Utf8ToWide(std::string_view utf8);
std::string WideToUtf8(std::u16string_view wide);

// Conversion between two named encodings with the same replacement rules;
// an unknown encoding name gives nullopt-like failure as an empty result
// and sets *ok to false when ok is given.
std::string Convert(std::string_view text, const char* from, const char* to, bool* ok = nullptr);

// Exact conversions: nullopt when any byte sequence is not valid in the
// source or any character has no form in the target (nothing is replaced).
std::optional<std::string> ConvertExact(std::string_view text, const char* from, const char* to);
std::optional<std::string> AnsiToUtf8Exact(std::string_view ansi);
std::optional<std::string> Utf8ToAnsiExact(std::string_view utf8);

// The number of bytes of the character that starts the text, in the code
// page (1 for a single-byte character, 2 for a double-byte one...); 0 when
// the text is empty or its first bytes are no character of the code page
// (a lead byte without a valid trail byte, a byte the code page does not use).
std::size_t CharLength(std::string_view ansi);

// Case-insensitive comparison of two code-page texts, aware of multibyte
// characters (only ASCII letters fold; double-byte characters compare as they are).
bool EqualsNoCase(std::string_view a, std::string_view b);
// Negative, zero or positive, in character-code order after folding ASCII case.
int CompareNoCase(std::string_view a, std::string_view b);

}  // namespace codepage
