// The registry: keys and text values kept as files under a folder. Each key
// is a folder; its values live in the folder's ".values" file, one
// "name = value" line each, the default value named "@". Key names match
// without regard to case, as on the platform the system was designed for.
// Writers replace a values file by writing a temporary file and renaming it,
// under a lock, so readers and concurrent writers never see a torn file and
// no update is lost.
//
// Two registries are merged, as the machine's classes and the user's are on
// the platform the system was designed for:
// - the machine's ($VELMORA_MACHINE_REGISTRY, else /var/lib/velmora/registry),
//   written by root and readable by everyone whatever root's umask;
// - the user's ($XDG_CONFIG_HOME/velmora/registry, else
//   ~/.config/velmora/registry), written by every other user.
// A process writes the registry of its effective user: root the machine's,
// anyone else their own. Look-ups read the user's registry first, then the
// machine's: a key present in the user's registry hides the machine's key of
// the same path (its values), and the subkeys of both are listed.
// $VELMORA_REGISTRY, when set, replaces both, for reading and writing.
//
// Key paths use backslashes: "HKEY_CLASSES_ROOT\\CLSID\\{...}".
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace registry {

enum class Result {
  Ok,
  NotFound,     // the key or value does not exist
  CannotWrite,  // the registry folder cannot be created or written
  Invalid,      // an empty or malformed key path
};

const char* ResultText(Result r);

// Which registries a look-up reads.
enum class View {
  Merged,  // the user's, then the machine's
  Own,     // only the one this process writes
};

// The folder this process writes, and the folders look-ups read, in order
// (read from the environment and the effective user on each call).
std::string WriteRoot();
std::vector<std::string> ReadRoots(View view = View::Merged);

Result CreateKey(std::string_view key);
// Creates the key (and its parents) when needed. An empty name is the default value.
Result SetValue(std::string_view key, std::string_view name, std::string_view value);
std::optional<std::string> GetValue(std::string_view key, std::string_view name = {},
                                    View view = View::Merged);
Result DeleteValue(std::string_view key, std::string_view name);
// Removes the key with all its subkeys and values.
Result DeleteKey(std::string_view key);
bool KeyExists(std::string_view key, View view = View::Merged);
// The subkeys of every registry read, each name once.
std::vector<std::string> SubKeys(std::string_view key, View view = View::Merged);
// The values of the key in the first registry read that has it.
std::vector<std::pair<std::string, std::string>> Values(std::string_view key, View view = View::Merged);

}  // namespace registry
