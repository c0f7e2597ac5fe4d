// What a demo site keeps of each listing published to it, in memory, and
// the page that shows them.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Text.h"

namespace demo {

struct StoredPhoto {
  std::string field;     // the file input it came from
  std::string fileName;  // as the browser named it
  std::string contentType;
  std::string bytes;
};

struct Listing {
  std::string number;
  Fields fields;  // UTF-8, in the order the site lists them
  std::vector<StoredPhoto> photos;
};

class ListingBook {
 public:
  // Numbers are prefix + "-" + first, first + 1, ...
  ListingBook(std::string prefix, int first) : prefix_(std::move(prefix)), next_(first) {}

  // Keeps the listing; returns its number.
  std::string Add(Fields fields, std::vector<StoredPhoto> photos = {});
  std::vector<Listing> All() const;
  std::optional<StoredPhoto> PhotoOf(std::size_t listing, std::size_t photo) const;

  // An HTML page listing them for a person (titled with the site's name),
  // and the same as JSON: [{"number":..., "fields":{...}, "photos":[{"field","name","type","size"}]}].
  std::string Html(const std::string& siteName) const;
  std::string Json() const;

 private:
  mutable std::mutex mutex_;
  std::string prefix_;
  int next_;
  std::vector<Listing> listings_;
};

}  // namespace demo
