#include "Listings.h"

namespace demo {

std::string ListingBook::Add(Fields fields, std::vector<StoredPhoto> photos) {
  std::lock_guard lock(mutex_);
  Listing listing{prefix_ + "-" + std::to_string(next_++), std::move(fields), std::move(photos)};
  listings_.push_back(std::move(listing));
  return listings_.back().number;
}

std::vector<Listing> ListingBook::All() const {
  std::lock_guard lock(mutex_);
  return listings_;
}

std::optional<StoredPhoto> ListingBook::PhotoOf(std::size_t listing, std::size_t photo) const {
  std::lock_guard lock(mutex_);
  if (listing >= listings_.size() || photo >= listings_[listing].photos.size()) return std::nullopt;
  return listings_[listing].photos[photo];
}

std::string ListingBook::Html(const std::string& siteName) const {
  std::vector<Listing> all = All();
  std::string page =
      "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + HtmlEscape(siteName) +
      " · 已发布的房源</title>\n<style>body{font-family:sans-serif;margin:24px;color:#223}"
      "table{border-collapse:collapse;margin:8px 0 24px}td,th{border:1px solid #ccd;padding:4px 8px;"
      "text-align:left;vertical-align:top;white-space:pre-wrap}th{background:#eef}img{max-width:160px;margin:4px}"
      "</style></head><body>\n<h1>" + HtmlEscape(siteName) + " · 已发布的房源（" + std::to_string(all.size()) +
      "）</h1>\n";
  if (all.empty()) page += "<p>还没有房源。</p>\n";
  for (std::size_t i = 0; i < all.size(); ++i) {
    const Listing& l = all[i];
    page += "<h2>房源编号 " + HtmlEscape(l.number) + "</h2>\n<table>\n";
    for (const auto& [name, value] : l.fields)
      page += "<tr><th>" + HtmlEscape(name) + "</th><td>" + HtmlEscape(value) + "</td></tr>\n";
    page += "</table>\n";
    for (std::size_t k = 0; k < l.photos.size(); ++k)
      page += "<img alt=\"" + HtmlEscape(l.photos[k].fileName) + "\" src=\"/listings/" + std::to_string(i) + "/photos/" +
              std::to_string(k) + "\">";
  }
  return page + "</body></html>\n";
}

std::string ListingBook::Json() const {
  std::string out = "[";
  std::vector<Listing> all = All();
  for (std::size_t i = 0; i < all.size(); ++i) {
    const Listing& l = all[i];
    out += (i ? ",\n" : "\n") + std::string("{\"number\":") + JsonQuote(l.number) + ",\"fields\":{";
    for (std::size_t f = 0; f < l.fields.size(); ++f)
      out += (f ? "," : "") + JsonQuote(l.fields[f].first) + ":" + JsonQuote(l.fields[f].second);
    out += "},\"photos\":[";
    for (std::size_t k = 0; k < l.photos.size(); ++k)
      out += (k ? "," : "") + std::string("{\"field\":") + JsonQuote(l.photos[k].field) +
             ",\"name\":" + JsonQuote(l.photos[k].fileName) + ",\"type\":" + JsonQuote(l.photos[k].contentType) +
             ",\"size\":" + std::to_string(l.photos[k].bytes.size()) + "}";
    out += "]}";
  }
  return out + "\n]\n";
}

}  // namespace demo
