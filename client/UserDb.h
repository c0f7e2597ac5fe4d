// The saved-login file "user.db": remembered users, the most recent login,
// the user marked for automatic login and whether automatic login is on.
// A program outside the client writes it first; the client only rewrites it
// (window.external.forAutoLogin), keeping what it knows, replacing the
// automatic-login switch with its own flag, as one line of compact JSON.
//
// The file is text in the ANSI code page. The rewrite reads it as such,
// parses it as UTF-8, and writes every text back in the code page; a
// character the code page lacks is written as a "\u" escape.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace velmora {

// The file's name in the client's data folder.
inline constexpr char kUserDbName[] = "user.db";

// The rewrite's core: the file's whole text in, the new one-line text out,
// or nullopt when the file must be left untouched (it is not valid in the
// code page, does not parse, or its top level is not an object).
std::optional<std::string> RewriteUserDbText(std::string_view fileText, bool autoLogin);

// The whole rewrite of the file at `path`: created empty when missing,
// read, rewritten and replaced atomically under a lock, so that concurrent
// clients and a writer killed mid-way never leave a torn or empty file.
// False when the file was left as it was (cannot be opened, or untouched
// by the rules above).
bool RewriteUserDbFile(const std::string& path, bool autoLogin);

}  // namespace velmora
