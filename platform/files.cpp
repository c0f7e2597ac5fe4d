#include "platform/files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

namespace files {

namespace {

// A file descriptor that closes itself.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }

 private:
  int fd_;
};

bool ReadAll(int fd, std::string* out) {
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n == 0) return true;
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    out->append(buf, static_cast<std::size_t>(n));
  }
}

bool WriteAll(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace

RewriteResult RewriteLocked(const std::string& path,
                            const std::function<std::optional<std::string>(std::string_view)>& rewrite) {
  std::filesystem::path file(path);
  std::string folder = file.has_parent_path() ? file.parent_path().string() : ".";
  // 1. The folder's lock serialises every rewriter: the file itself is
  // replaced by each of them, so its own lock would not hold across writers.
  Fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir) return RewriteResult::CannotOpen;
  while (::flock(dir.get(), LOCK_EX) != 0)
    if (errno != EINTR) return RewriteResult::CannotOpen;
  // 2. The current text; a missing file is created empty.
  Fd in(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  if (!in) return RewriteResult::CannotOpen;
  std::string text;
  struct stat st {};
  if (!ReadAll(in.get(), &text) || ::fstat(in.get(), &st) != 0) return RewriteResult::CannotOpen;
  // 3. The new text, or nothing to write.
  std::optional<std::string> next = rewrite(text);
  if (!next) return RewriteResult::Untouched;
  // 4. Written in full beside the file (one name: the lock admits one
  // writer at a time, and a file left by a killed writer is overwritten),
  // flushed, then renamed over the old file.
  std::string temporary = path + ".new";
  {
    Fd out(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, st.st_mode & 07777));
    if (!out) return RewriteResult::CannotOpen;
    ::fchmod(out.get(), st.st_mode & 07777);
    if (!WriteAll(out.get(), *next) || ::fsync(out.get()) != 0) {
      ::unlink(temporary.c_str());
      return RewriteResult::CannotOpen;
    }
  }
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return RewriteResult::CannotOpen;
  }
  ::fsync(dir.get());
  return RewriteResult::Rewritten;
}

std::string UserDataFolder(std::string_view name) {
  const char* data = std::getenv("XDG_DATA_HOME");
  std::string base;
  if (data && *data == '/') {
    base = data;
  } else {
    const char* home = std::getenv("HOME");
    base = std::string(home && *home ? home : "/tmp") + "/.local/share";
  }
  std::string folder = base + "/" + std::string(name);
  std::error_code ec;
  if (!std::filesystem::exists(folder, ec)) {
    std::filesystem::create_directories(folder, ec);
    ::chmod(folder.c_str(), 0700);
  }
  return folder;
}

std::unique_ptr<PrivateFolder> PrivateFolder::Make(std::string_view prefix) {
  const char* tmp = std::getenv("TMPDIR");
  std::string base = tmp && *tmp == '/' ? tmp : "/tmp";
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  std::string pattern = base + "/" + std::string(prefix) + "XXXXXX";
  // mkdtemp makes the folder with mode 0700.
  if (!::mkdtemp(pattern.data())) return nullptr;
  return std::unique_ptr<PrivateFolder>(new PrivateFolder(std::move(pattern)));
}

PrivateFolder::~PrivateFolder() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string PrivateFolder::MakeSubfolder() {
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string sub = path_ + "/" + std::to_string(next_++);
    if (::mkdir(sub.c_str(), 0700) == 0) return sub;
    if (errno != EEXIST) return {};
  }
  return {};
}

std::string PrivateFolder::WriteNewFile(const std::string& folder, std::string_view name, std::string_view bytes) {
  std::string path = folder + "/" + std::string(name);
  Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!fd) return {};
  for (std::size_t done = 0; done < bytes.size();) {
    ssize_t n = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ::unlink(path.c_str());
      return {};
    }
    done += static_cast<std::size_t>(n);
  }
  return path;
}

void RemoveFileAndFolder(const std::string& path) {
  ::unlink(path.c_str());
  const std::size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0) ::rmdir(path.substr(0, slash).c_str());  // only when empty
}

bool IsReadableRegularFile(std::string_view path) {
  if (path.empty() || path.front() != '/' || path.find('\0') != std::string_view::npos) return false;
  const std::string p(path);
  struct stat st {};
  if (::stat(p.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  // Opening it says whether it may be read (access() would ask for the real user).
  Fd fd(::open(p.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  return static_cast<bool>(fd);
}

}  // namespace files
