// Files that several processes rewrite: a read-modify-write under an
// advisory lock, the new text written beside the old file and renamed over
// it, so that concurrent writers are serialised and a writer killed at any
// moment leaves either the old text or the new one, never a torn file.
// And the user's own data folder.
#pragma once

#include <functional>
#include <memory>
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

// A folder of the process's own, readable only by the user (mode 0700),
// made in the temporary folder ($TMPDIR, else /tmp) with a name that starts
// with `prefix`; it is removed with all it holds when the object goes.
class PrivateFolder {
 public:
  // Null when the folder cannot be made.
  static std::unique_ptr<PrivateFolder> Make(std::string_view prefix);
  ~PrivateFolder();
  PrivateFolder(const PrivateFolder&) = delete;
  PrivateFolder& operator=(const PrivateFolder&) = delete;

  // Ends without "/".
  const std::string& path() const { return path_; }
  // A new subfolder (mode 0700) of its own; empty when it cannot be made.
  std::string MakeSubfolder();
  // Writes `bytes` to a new file of `folder` (mode 0600, never over an
  // existing one); its path, or empty when it cannot be written.
  static std::string WriteNewFile(const std::string& folder, std::string_view name, std::string_view bytes);

 private:
  explicit PrivateFolder(std::string path) : path_(std::move(path)) {}
  std::string path_;
  unsigned next_ = 0;
};

// Removes the file `path` and then its folder, when that is left empty.
void RemoveFileAndFolder(const std::string& path);

// Whether `path` is absolute and names a regular file (links followed)
// that this process may read.
bool IsReadableRegularFile(std::string_view path);

// The user's data folder for a program: $XDG_DATA_HOME/NAME, else
// ~/.local/share/NAME; created (mode 0700) when missing. Ends without "/".
std::string UserDataFolder(std::string_view name);

}  // namespace files
