// Texts of the demo service and sites: the GBK code page of site A, form
// bodies, and the HTML and JSON the pages are written in.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace demo {

using Fields = std::vector<std::pair<std::string, std::string>>;

// UTF-8 to GBK and back; nullopt when the text cannot be converted.
std::optional<std::string> Utf8ToGbk(std::string_view utf8);
std::optional<std::string> GbkToUtf8(std::string_view gbk);

// A form-encoded body: pieces split at "&", name and value at the first
// "=", "+" read as a blank and %XX as the byte XX. Bytes above 0x7F pass
// through unchanged, so a body in any code page whose multibyte characters
// never use "&", "=", "%" or "+" (GBK is one) decodes to its own bytes.
Fields DecodeForm(std::string_view body);
// The value of the first field of that name, or empty.
std::string FieldOf(const Fields& fields, std::string_view name);

// Line breaks as one "\n" each (forms send them as CR LF).
std::string UnixLines(std::string_view text);

std::string HtmlEscape(std::string_view text);
// A JSON string literal of a UTF-8 text, quotes included.
std::string JsonQuote(std::string_view text);

// A value of a Cookie header line ("a=1; b=2"), or empty.
std::string CookieValue(std::string_view header, std::string_view name);

// Sixteen random hexadecimal digits, for session ids and form tokens.
std::string RandomToken();

}  // namespace demo
