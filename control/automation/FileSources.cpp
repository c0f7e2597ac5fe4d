#include "control/automation/FileSources.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <thread>

#include "platform/files.h"
#include "platform/http.h"

namespace {

using Failure = CFileSources::Failure;

constexpr std::string_view kFolderPrefix = "velmora-files-";
constexpr std::string_view kFallbackName = "file";
constexpr std::size_t kMaxNameBytes = 200;
constexpr std::size_t kReadChunk = 64 * 1024;

// The texts of the reasons, for the diagnostic line.
constexpr const char* kFailureText[] = {
    "none", "not an http(s) address or an absolute path", "no readable regular file", "cannot be reached",
    "HTTP error", "too large", "timed out", "cannot be stored",
};

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool StartsNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i)
    if (Lower(text[i]) != Lower(prefix[i])) return false;
  return true;
}

bool IsAddress(std::string_view source) { return StartsNoCase(source, "http://") || StartsNoCase(source, "https://"); }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = Lower(c);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string PercentDecode(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    int hi, lo;
    if (text[i] == '%' && i + 2 < text.size() && (hi = HexDigit(text[i + 1])) >= 0 &&
        (lo = HexDigit(text[i + 2])) >= 0) {
      out += static_cast<char>(hi * 16 + lo);
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

// The value of the header `name` in a raw header block; empty when absent.
std::string_view HeaderValue(std::string_view raw, std::string_view name) {
  for (std::size_t at = 0; at < raw.size();) {
    std::size_t end = raw.find('\n', at);
    if (end == std::string_view::npos) end = raw.size();
    std::string_view line = raw.substr(at, end - at);
    at = end + 1;
    std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon != name.size() || !StartsNoCase(line, name)) continue;
    return Trim(line.substr(colon + 1));
  }
  return {};
}

// The file name a Content-Disposition value gives: filename* (UTF-8'',
// percent-encoded) before filename (quoted or a token); empty for none.
std::string DispositionName(std::string_view value) {
  std::string plain, extended;
  for (std::size_t at = 0; at < value.size();) {
    std::size_t semi = at;
    bool quoted = false;
    // A parameter ends at a ";" outside quotes.
    for (; semi < value.size(); ++semi) {
      if (value[semi] == '"') quoted = !quoted;
      else if (value[semi] == '\\' && quoted) ++semi;
      else if (value[semi] == ';' && !quoted) break;
    }
    std::string_view param = Trim(value.substr(at, semi - at));
    at = semi + 1;
    std::size_t eq = param.find('=');
    if (eq == std::string_view::npos) continue;
    std::string_view key = Trim(param.substr(0, eq));
    std::string_view v = Trim(param.substr(eq + 1));
    if (key.size() == 9 && StartsNoCase(key, "filename*")) {
      // charset'language'encoded: only UTF-8 (any case) is taken.
      std::size_t q1 = v.find('\''), q2 = q1 == std::string_view::npos ? q1 : v.find('\'', q1 + 1);
      if (q2 != std::string_view::npos && StartsNoCase(v, "utf-8'")) extended = PercentDecode(v.substr(q2 + 1));
    } else if (key.size() == 8 && StartsNoCase(key, "filename")) {
      if (v.size() >= 2 && v.front() == '"' && v.back() == '"') {
        v = v.substr(1, v.size() - 2);
        plain.clear();
        for (std::size_t i = 0; i < v.size(); ++i) {
          if (v[i] == '\\' && i + 1 < v.size()) ++i;
          plain += v[i];
        }
      } else {
        plain = std::string(v);
      }
    }
  }
  return extended.empty() ? plain : extended;
}

// A name reduced to a plain file name (see DownloadFileName).
std::string PlainFileName(std::string_view name) {
  // No folder part, of either kind of separator.
  std::size_t slash = name.find_last_of("/\\");
  if (slash != std::string_view::npos) name.remove_prefix(slash + 1);
  std::string out;
  for (char c : name)
    if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7F) out += c;
  out = std::string(Trim(out));
  if (out.size() > kMaxNameBytes) {
    std::size_t cut = kMaxNameBytes;
    while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) --cut;  // whole characters
    out.resize(cut);
  }
  if (out.empty() || out == "." || out == "..") return std::string(kFallbackName);
  return out;
}

// One download into memory.
struct Download {
  std::string address;
  std::string bytes;
  std::string name;
  Failure failure = Failure::None;
  int status = 0;
};

Failure TransferFailure() {
  return http::LastError() == http::Error::Timeout ? Failure::TimedOut : Failure::Unreachable;
}

// The download, step by step; the first failing step ends it.
Failure Fetch(Download& d, const CFileSources::Limits& limits) {
  const auto deadline = std::chrono::steady_clock::now() + limits.perFile;
  const int ms = static_cast<int>(limits.perFile.count());
  // Only http and https addresses.
  std::optional<http::Url> url = http::SplitUrl(d.address);
  if (!url) return Failure::Refused;
  std::unique_ptr<http::Session> session = http::Session::Open();
  if (!session) return Failure::Unreachable;
  session->SetConnectTimeout(ms);
  auto connection = http::Connection::Open(*session, url->host, url->port, url->scheme);
  if (!connection) return Failure::Refused;
  auto request = http::Request::Open(*connection, "GET", url->object);
  if (!request) return Failure::Refused;
  // A plain request: no cookies, redirects followed, the whole of it bounded.
  request->SetFollowRedirects(true);
  request->SetSendTimeout(ms);
  request->SetReceiveTimeout(ms);
  request->SetDeadline(deadline);
  if (!request->Send() || !request->ReceiveResponse()) return TransferFailure();
  d.status = request->StatusCode().value_or(0);
  if (d.status < 200 || d.status > 299) return Failure::HttpError;
  const std::string headers = request->RawHeaders().value_or(std::string());
  // A length announced beyond the limit ends it before any byte is read.
  std::string_view length = HeaderValue(headers, "Content-Length");
  if (!length.empty() && length.size() > 12) return Failure::TooLarge;
  if (!length.empty() && std::strtoull(std::string(length).c_str(), nullptr, 10) > limits.maxBytes)
    return Failure::TooLarge;
  d.name = DownloadFileName(d.address, headers);
  // The body, never more than the limit.
  char buffer[kReadChunk];
  for (;;) {
    std::optional<std::size_t> n = request->ReadData(buffer);
    if (!n) return TransferFailure();
    if (*n == 0) return Failure::None;
    if (d.bytes.size() + *n > limits.maxBytes) return Failure::TooLarge;
    d.bytes.append(buffer, *n);
  }
}

void Report(std::string_view source, Failure failure, int status) {
  if (failure == Failure::HttpError)
    std::printf("File source %.*s: HTTP error %d\n", static_cast<int>(source.size()), source.data(), status);
  else
    std::printf("File source %.*s: %s\n", static_cast<int>(source.size()), source.data(),
                kFailureText[static_cast<int>(failure)]);
  std::fflush(stdout);
}

}  // namespace

std::vector<std::string_view> SplitFileSources(std::string_view value) {
  std::vector<std::string_view> sources;
  for (std::size_t at = 0;;) {
    std::size_t bar = value.find('|', at);
    sources.push_back(value.substr(at, bar == std::string_view::npos ? std::string_view::npos : bar - at));
    if (bar == std::string_view::npos) return sources;
    at = bar + 1;
  }
}

std::string DownloadFileName(std::string_view address, std::string_view rawHeaders) {
  std::string name = DispositionName(HeaderValue(rawHeaders, "Content-Disposition"));
  if (name.empty()) {
    // The address's path: after the authority, before any query or fragment.
    std::string_view path = address;
    std::size_t scheme = path.find("://");
    if (scheme != std::string_view::npos) path.remove_prefix(scheme + 3);
    std::size_t slash = path.find('/');
    path = slash == std::string_view::npos ? std::string_view() : path.substr(slash);
    path = path.substr(0, path.find_first_of("?#"));
    std::size_t last = path.rfind('/');
    name = PercentDecode(last == std::string_view::npos ? path : path.substr(last + 1));
  }
  return PlainFileName(name);
}

CFileSources::CFileSources() = default;
CFileSources::CFileSources(Limits limits) : limits_(limits) {}
CFileSources::~CFileSources() = default;

void CFileSources::Trim() {
  while (keptBytes_ > limits_.keepBytes) {
    auto oldest = downloaded_.end();
    for (auto it = downloaded_.begin(); it != downloaded_.end(); ++it)
      if (it->second.lastUse != fill_ && (oldest == downloaded_.end() || it->second.lastUse < oldest->second.lastUse))
        oldest = it;
    if (oldest == downloaded_.end()) return;  // all of them are the present fill's
    // The file and the subfolder that held it alone.
    const std::string path = oldest->second.path;
    files::RemoveFileAndFolder(path);
    keptBytes_ -= oldest->second.size;
    downloaded_.erase(oldest);
  }
}

std::string CFileSources::folder() const { return folder_ ? folder_->path() : std::string(); }

bool CFileSources::Resolve(std::string_view value, std::vector<std::string>* paths, Failure* failure) {
  paths->clear();
  ++fill_;
  Failure first = Failure::None;
  auto fail = [&](std::string_view source, Failure why, int status = 0) {
    Report(source, why, status);
    if (first == Failure::None) first = why;
  };
  // 1. Each source: a path is checked, an address already downloaded is
  //    taken as it is, every other address is fetched.
  const std::vector<std::string_view> sources = SplitFileSources(value);
  std::vector<std::string> resolved(sources.size());
  std::vector<Download> fetches;
  std::vector<std::size_t> fetchOf(sources.size(), SIZE_MAX);
  for (std::size_t i = 0; i < sources.size(); ++i) {
    std::string_view source = sources[i];
    if (IsAddress(source)) {
      if (auto it = downloaded_.find(source); it != downloaded_.end()) {
        resolved[i] = it->second.path;
        it->second.lastUse = fill_;
        continue;
      }
      // The same address twice in one value is fetched once.
      for (std::size_t k = 0; k < fetches.size(); ++k)
        if (fetches[k].address == source) fetchOf[i] = k;
      if (fetchOf[i] == SIZE_MAX) {
        fetchOf[i] = fetches.size();
        fetches.push_back({std::string(source), {}, {}, Failure::None, 0});
      }
    } else if (!source.empty() && source.front() == '/') {
      if (files::IsReadableRegularFile(source)) resolved[i] = std::string(source);
      else fail(source, Failure::NoFile);
    } else {
      fail(source, Failure::Refused);
    }
  }
  // 2. The downloads, side by side: a value's time is its slowest file's.
  {
    std::vector<std::jthread> workers;
    workers.reserve(fetches.size());
    for (Download& d : fetches) {
      workers.emplace_back([&d, limits = limits_] {
        try {
          d.failure = Fetch(d, limits);
        } catch (...) {  // no memory for the body
          d.failure = Failure::TooLarge;
        }
        if (d.failure != Failure::None) d.bytes = std::string();
      });
    }
  }
  // 3. Each download into a subfolder of its own (names may repeat), kept for
  //    later fills of this control.
  for (Download& d : fetches) {
    if (d.failure == Failure::None) {
      if (!folder_) folder_ = files::PrivateFolder::Make(kFolderPrefix);
      std::string sub = folder_ ? folder_->MakeSubfolder() : std::string();
      std::string path = sub.empty() ? sub : files::PrivateFolder::WriteNewFile(sub, d.name, d.bytes);
      if (path.empty()) d.failure = Failure::NoFolder;
      else {
        keptBytes_ += d.bytes.size();
        downloaded_.emplace(d.address, Kept{std::move(path), d.bytes.size(), fill_});
      }
    }
    if (d.failure != Failure::None) fail(d.address, d.failure, d.status);
  }
  for (std::size_t i = 0; i < sources.size(); ++i) {
    if (fetchOf[i] == SIZE_MAX) continue;
    auto it = downloaded_.find(sources[i]);
    if (it != downloaded_.end()) resolved[i] = it->second.path;
  }
  Trim();
  if (failure) *failure = first;
  if (first != Failure::None) return false;
  *paths = std::move(resolved);
  return true;
}
