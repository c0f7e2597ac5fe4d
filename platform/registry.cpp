#include "platform/registry.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace registry {

namespace fs = std::filesystem;

namespace {

constexpr const char* kValuesFile = ".values";
constexpr const char* kLockFile = ".lock";
constexpr const char* kMachineRegistry = "/var/lib/velmora/registry";
// Folders and files of the machine's registry, whatever the writer's umask.
constexpr mode_t kSharedFolderMode = 0755;
constexpr mode_t kSharedFileMode = 0644;

// A registry folder, and whether every user must be able to read it.
struct Location {
  fs::path root;
  bool shared = false;
};

std::string Getenv(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

std::string MachineRoot() {
  std::string root = Getenv("VELMORA_MACHINE_REGISTRY");
  return root.empty() ? kMachineRegistry : root;
}

// Empty when the user has no home: never a folder that others could write.
std::string UserRoot() {
  if (std::string config = Getenv("XDG_CONFIG_HOME"); !config.empty()) return config + "/velmora/registry";
  std::string home = Getenv("HOME");
  if (home.empty()) {
    struct passwd entry, *found = nullptr;
    char buf[4096];
    if (::getpwuid_r(::getuid(), &entry, buf, sizeof buf, &found) == 0 && found && found->pw_dir)
      home = found->pw_dir;
  }
  return home.empty() ? "" : home + "/.config/velmora/registry";
}

// Root writes the machine's registry, anyone else their own.
Location WriteLocation() {
  if (std::string root = Getenv("VELMORA_REGISTRY"); !root.empty()) return {root, false};
  if (::geteuid() == 0) return {MachineRoot(), true};
  return {UserRoot(), false};
}

// Makes one folder; true when it exists afterwards.
bool MakeFolder(const fs::path& dir, bool shared) {
  if (::mkdir(dir.c_str(), 0755) == 0) {
    if (shared) ::chmod(dir.c_str(), kSharedFolderMode);
    return true;
  }
  return errno == EEXIST;
}

bool EqualsAsciiNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto x = static_cast<unsigned char>(a[i]);
    auto y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x += 32;
    if (y >= 'A' && y <= 'Z') y += 32;
    if (x != y) return false;
  }
  return true;
}

// A key name as a folder name: '/' and '%' are percent-encoded, and so is a
// leading '.' (so "." and ".." stay names, and our own files never collide).
std::string EncodeName(std::string_view name) {
  std::string out;
  for (std::size_t i = 0; i < name.size(); ++i) {
    char c = name[i];
    if (c == '/' || c == '%' || (i == 0 && c == '.')) {
      char buf[4];
      std::snprintf(buf, sizeof buf, "%%%02X", static_cast<unsigned char>(c));
      out += buf;
    } else {
      out += c;
    }
  }
  return out;
}

std::string DecodeName(std::string_view name) {
  std::string out;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (name[i] == '%' && i + 2 < name.size()) {
      int v = 0;
      if (std::sscanf(std::string(name.substr(i + 1, 2)).c_str(), "%2x", &v) == 1) {
        out += static_cast<char>(v);
        i += 2;
        continue;
      }
    }
    out += name[i];
  }
  return out;
}

std::optional<std::vector<std::string>> SplitKey(std::string_view key) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= key.size(); ++i) {
    if (i == key.size() || key[i] == '\\') {
      if (i == start) return std::nullopt;  // empty component
      parts.emplace_back(key.substr(start, i - start));
      start = i + 1;
    }
  }
  if (parts.empty()) return std::nullopt;
  return parts;
}

// Finds the folder of an existing child whose name matches ignoring case.
std::optional<fs::path> FindChild(const fs::path& dir, const std::string& name) {
  std::string encoded = EncodeName(name);
  std::error_code ec;
  if (fs::is_directory(dir / encoded, ec)) return dir / encoded;
  for (const auto& entry : fs::directory_iterator(dir, ec)) {
    if (!entry.is_directory(ec)) continue;
    std::string fname = entry.path().filename().string();
    if (EqualsAsciiNoCase(fname, encoded)) return entry.path();
  }
  return std::nullopt;
}

// The folder of an existing key in one registry.
std::optional<fs::path> FindKey(const fs::path& root, std::string_view key) {
  auto parts = SplitKey(key);
  if (!parts || root.empty()) return std::nullopt;
  fs::path dir = root;
  for (const auto& p : *parts) {
    auto child = FindChild(dir, p);
    if (!child) return std::nullopt;
    dir = *child;
  }
  return dir;
}

// Value lines: "name = value" with '\\', newlines, CR and '=' (in names)
// escaped by a backslash; the default value is named "@" and a value
// literally named "@" is written "\@".
std::string EscapeText(std::string_view s, bool isName) {
  std::string out;
  if (isName && s.empty()) return "@";
  if (isName && s == "@") return "\\@";
  for (char c : s) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '=':
        if (isName) {
          out += "\\=";
          break;
        }
        [[fallthrough]];
      default: out += c;
    }
  }
  return out;
}

std::string UnescapeText(std::string_view s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 1 < s.size()) {
      char n = s[++i];
      out += n == 'n' ? '\n' : n == 'r' ? '\r' : n;
    } else {
      out += s[i];
    }
  }
  return out;
}

using ValueList = std::vector<std::pair<std::string, std::string>>;

ValueList ReadValues(const fs::path& dir) {
  ValueList values;
  std::ifstream in(dir / kValuesFile, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    // The separator is the first " = " whose '=' is not escaped.
    std::size_t sep = std::string::npos;
    for (std::size_t i = 0; i + 3 <= line.size(); ++i) {
      if (line[i] == '\\') {
        ++i;
        continue;
      }
      if (line.compare(i, 3, " = ") == 0) {
        sep = i;
        break;
      }
    }
    if (sep == std::string::npos) continue;
    std::string rawName = line.substr(0, sep);
    std::string name = rawName == "@" ? std::string() : UnescapeText(rawName);
    values.emplace_back(name, UnescapeText(line.substr(sep + 3)));
  }
  return values;
}

bool WriteValues(const fs::path& dir, const ValueList& values, bool shared) {
  std::string text = "# registry values; one \"name = value\" line each, @ is the default value\n";
  for (const auto& [n, v] : values) text += EscapeText(n, true) + " = " + EscapeText(v, false) + "\n";
  fs::path tmp = dir / (std::string(kValuesFile) + ".tmp." + std::to_string(::getpid()));
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  if (shared) ::fchmod(fd, kSharedFileMode);
  bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ok = ::fsync(fd) == 0 && ok;
  ok = ::close(fd) == 0 && ok;
  if (ok) ok = ::rename(tmp.c_str(), (dir / kValuesFile).c_str()) == 0;
  if (!ok) ::unlink(tmp.c_str());
  return ok;
}

// Serialises the writers of one registry across threads and processes;
// makes the registry's folder (and its missing parents) first.
class WriteLock {
 public:
  explicit WriteLock(const Location& at) {
    if (at.root.empty()) return;
    fs::path dir;
    for (const auto& part : at.root) {
      dir /= part;
      if (!MakeFolder(dir, at.shared)) return;
    }
    fd_ = ::open((at.root / kLockFile).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ >= 0) ::flock(fd_, LOCK_EX);
  }
  ~WriteLock() {
    if (fd_ >= 0) {
      ::flock(fd_, LOCK_UN);
      ::close(fd_);
    }
  }
  bool ok() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// Creates the key's folders; nullopt when the location cannot be written.
std::optional<fs::path> MakeKey(const Location& at, const std::vector<std::string>& parts) {
  fs::path dir = at.root;
  for (const auto& p : parts) {
    auto child = FindChild(dir, p);
    if (child) {
      dir = *child;
      continue;
    }
    dir /= EncodeName(p);
    if (!MakeFolder(dir, at.shared)) return std::nullopt;
  }
  return dir;
}

// The key's folder in the first registry read that has it.
std::optional<fs::path> FindKeyIn(View view, std::string_view key) {
  for (const auto& root : ReadRoots(view))
    if (auto dir = FindKey(root, key)) return dir;
  return std::nullopt;
}

}  // namespace

const char* ResultText(Result r) {
  switch (r) {
    case Result::Ok: return "ok";
    case Result::NotFound: return "not found";
    case Result::CannotWrite: return "the registry cannot be written";
    case Result::Invalid: return "invalid key path";
  }
  return "?";
}

std::string WriteRoot() { return WriteLocation().root; }

std::vector<std::string> ReadRoots(View view) {
  std::vector<std::string> roots;
  if (std::string root = Getenv("VELMORA_REGISTRY"); !root.empty()) {
    roots.push_back(root);
  } else if (view == View::Own) {
    roots.push_back(WriteRoot());
  } else {
    roots = {UserRoot(), MachineRoot()};
    if (roots[0] == roots[1]) roots.pop_back();
  }
  std::erase(roots, std::string());
  return roots;
}

Result CreateKey(std::string_view key) {
  auto parts = SplitKey(key);
  if (!parts) return Result::Invalid;
  const Location at = WriteLocation();
  WriteLock lock(at);
  if (!lock.ok()) return Result::CannotWrite;
  return MakeKey(at, *parts) ? Result::Ok : Result::CannotWrite;
}

Result SetValue(std::string_view key, std::string_view name, std::string_view value) {
  auto parts = SplitKey(key);
  if (!parts) return Result::Invalid;
  const Location at = WriteLocation();
  WriteLock lock(at);
  if (!lock.ok()) return Result::CannotWrite;
  auto dir = MakeKey(at, *parts);
  if (!dir) return Result::CannotWrite;
  ValueList values = ReadValues(*dir);
  bool found = false;
  for (auto& [n, v] : values) {
    if (EqualsAsciiNoCase(n, name)) {
      v = value;
      found = true;
      break;
    }
  }
  if (!found) values.emplace_back(name, value);
  return WriteValues(*dir, values, at.shared) ? Result::Ok : Result::CannotWrite;
}

std::optional<std::string> GetValue(std::string_view key, std::string_view name, View view) {
  for (auto& [n, v] : Values(key, view))
    if (EqualsAsciiNoCase(n, name)) return v;
  return std::nullopt;
}

Result DeleteValue(std::string_view key, std::string_view name) {
  if (!SplitKey(key)) return Result::Invalid;
  const Location at = WriteLocation();
  WriteLock lock(at);
  if (!lock.ok()) return Result::CannotWrite;
  auto dir = FindKey(at.root, key);
  if (!dir) return Result::NotFound;
  ValueList values = ReadValues(*dir);
  for (auto it = values.begin(); it != values.end(); ++it) {
    if (EqualsAsciiNoCase(it->first, name)) {
      values.erase(it);
      return WriteValues(*dir, values, at.shared) ? Result::Ok : Result::CannotWrite;
    }
  }
  return Result::NotFound;
}

Result DeleteKey(std::string_view key) {
  if (!SplitKey(key)) return Result::Invalid;
  const Location at = WriteLocation();
  // A key that is not there is not there, writable or not.
  if (!FindKey(at.root, key)) return Result::NotFound;
  WriteLock lock(at);
  if (!lock.ok()) return Result::CannotWrite;
  auto dir = FindKey(at.root, key);
  if (!dir) return Result::NotFound;
  std::error_code ec;
  fs::remove_all(*dir, ec);
  return ec ? Result::CannotWrite : Result::Ok;
}

bool KeyExists(std::string_view key, View view) { return FindKeyIn(view, key).has_value(); }

std::vector<std::string> SubKeys(std::string_view key, View view) {
  std::vector<std::string> out;
  for (const auto& root : ReadRoots(view)) {
    auto dir = FindKey(root, key);
    if (!dir) continue;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(*dir, ec)) {
      if (!entry.is_directory(ec)) continue;
      std::string name = DecodeName(entry.path().filename().string());
      // A subkey that both registries hold is listed once.
      if (std::none_of(out.begin(), out.end(), [&](const std::string& seen) { return EqualsAsciiNoCase(seen, name); }))
        out.push_back(std::move(name));
    }
  }
  return out;
}

std::vector<std::pair<std::string, std::string>> Values(std::string_view key, View view) {
  auto dir = FindKeyIn(view, key);
  if (!dir) return {};
  return ReadValues(*dir);
}

}  // namespace registry
