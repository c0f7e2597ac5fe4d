// The files that a file input of a form is given. A value names one or
// more sources separated by "|": an http or https address, which the
// control downloads itself (a plain request with no browser's cookies,
// redirects followed, bounded in time and size), or the absolute path of a
// readable regular file. Downloads go to a folder of the control's own,
// readable only by the user and removed with the object; an address is
// downloaded once for the object's life, as long as what is kept stays
// within a bound (the least recently used downloads go first).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace files {
class PrivateFolder;
}

class CFileSources {
 public:
  struct Limits {
    std::size_t maxBytes = 20u << 20;        // one file's size at most
    std::chrono::milliseconds perFile{30000};  // one download's whole time at most
    // What the downloads kept for later fills may take on disk: beyond it
    // the least recently used go (never those of the fill at hand).
    std::size_t keepBytes = std::size_t{1} << 30;
  };

  // Why a source could not be had.
  enum class Failure {
    None,
    Refused,     // neither an http(s) address nor an absolute path
    NoFile,      // no readable regular file at that path
    Unreachable, // the address could not be reached, or its transfer broke
    HttpError,   // the site answered with a status other than 2xx
    TooLarge,    // more bytes than maxBytes
    TimedOut,    // the download took longer than perFile
    NoFolder,    // the download could not be stored
  };

  CFileSources();
  explicit CFileSources(Limits limits);
  ~CFileSources();
  CFileSources(const CFileSources&) = delete;
  CFileSources& operator=(const CFileSources&) = delete;

  // The local paths of the sources of `value` (UTF-8), in order. The
  // downloads of one value run side by side. False when any source cannot
  // be had: `paths` is then left empty, `*failure` gives the reason of one
  // source that failed, and each failure is printed on standard output.
  bool Resolve(std::string_view value, std::vector<std::string>* paths, Failure* failure = nullptr);

  // The folder of the downloads; empty until the first one was stored.
  std::string folder() const;

 private:
  Limits limits_;
  std::unique_ptr<files::PrivateFolder> folder_;
  struct Kept {
    std::string path;
    std::size_t size = 0;
    std::uint64_t lastUse = 0;  // the fill that last used it
  };
  // Drops the least recently used downloads beyond limits_.keepBytes,
  // except those the present fill uses.
  void Trim();

  std::map<std::string, Kept, std::less<>> downloaded_;  // by address
  std::size_t keptBytes_ = 0;
  std::uint64_t fill_ = 0;  // the present fill
};

// The sources of a value: the texts between "|", in order.
std::vector<std::string_view> SplitFileSources(std::string_view value);

// The name a download is stored under: the Content-Disposition header's
// file name when the response gives one, else the address's last path
// segment (percent-decoded), reduced to a plain file name: no folder part,
// no control characters, never "." or "..", at most 200 bytes; "file" when
// nothing is left.
std::string DownloadFileName(std::string_view address, std::string_view rawHeaders);
