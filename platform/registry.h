// The registry: keys and text values kept as files under one folder
// ($VELMORA_REGISTRY, else $XDG_CONFIG_HOME/velmora/registry, else
// ~/.config/velmora/registry). Each key is a folder; its values live in the
// folder's ".values" file, one "name = value" line each, the default value
// named "@". Key names match without regard to case, as on the platform the
// system was designed for. Writers replace a values file by writing a
// temporary file and renaming it, under a lock, so readers and concurrent
// writers never see a torn file and no update is lost.
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

// The folder that holds the registry (read from the environment on each call).
std::string Root();

Result CreateKey(std::string_view key);
// Creates the key (and its parents) when needed. An empty name is the default value.
Result SetValue(std::string_view key, std::string_view name, std::string_view value);
std::optional<std::string> GetValue(std::string_view key, std::string_view name = {});
Result DeleteValue(std::string_view key, std::string_view name);
// Removes the key with all its subkeys and values.
Result DeleteKey(std::string_view key);
bool KeyExists(std::string_view key);
std::vector<std::string> SubKeys(std::string_view key);
std::vector<std::pair<std::string, std::string>> Values(std::string_view key);

}  // namespace registry
