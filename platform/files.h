// Files that several processes rewrite: a read-modify-write under an
// advisory lock, the new text written beside the old file and renamed over
// it, so that concurrent writers are serialised and a writer killed at any
// moment leaves either the old text or the new one, never a torn file.
// And the user's own data folder.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace files {

enum class RewriteResult {
  Rewritten,   // the new text replaced the file
  Untouched,   // the rewrite gave nothing: the file stays as it was
  CannotOpen,  // the file or its folder cannot be opened, locked or written
};

// Opens `path` (creating it empty when missing, never truncating it), takes
// the lock of its folder, reads the whole file and hands its text to
// `rewrite`; a text that comes back replaces the file atomically (same
// permissions), nullopt leaves it untouched. The lock is held from the read
// to the rename, so the last writer wins and no update is torn.
RewriteResult RewriteLocked(const std::string& path,
                            const std::function<std::optional<std::string>(std::string_view)>& rewrite);

// The user's data folder for a program: $XDG_DATA_HOME/NAME, else
// ~/.local/share/NAME; created (mode 0700) when missing. Ends without "/".
std::string UserDataFolder(std::string_view name);

}  // namespace files
