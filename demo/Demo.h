// The demo as a whole: the service on 127.0.0.1 and the three listing sites
// on 127.0.0.2, 127.0.0.3 and 127.0.0.4, with what each of them keeps.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "Listener.h"
#include "Listings.h"

namespace demo {

// The one agent account of the service and of every site.
inline constexpr char kUser[] = "agent";
inline constexpr char kPassword[] = "demo";

class Demo {
 public:
  // Port 0: every listener on a free port. Otherwise the service and the
  // sites on that port of their addresses, and site A's interface on the next one.
  explicit Demo(int port);
  ~Demo();

  // Starts every listener; false (and a message) when one cannot be bound.
  bool Start(std::string* error);
  void Stop();

  // Waits, unless the demo stops first; false when it stopped.
  bool Pause(std::chrono::milliseconds time);

  // --- the service
  Listener service;
  std::mutex reportsMutex;
  std::vector<std::string> reports;  // error reports as posted (bytes in the code page)
  std::atomic<bool> released{false};  // an automatic run may leave its progress view

  // --- site A: pages (its home, the description widget that site B frames,
  // its listings) and, apart, its publishing interface, which can go down.
  Listener siteAWeb;
  Listener siteAApi;
  ListingBook listingsA{"A", 300001};
  std::mutex sessionsAMutex;
  std::set<std::string> sessionsA;
  std::atomic<int> slowPostsA{0};  // so many next posts answer too late

  // --- site B: login, then a publish page of frames.
  Listener siteB;
  ListingBook listingsB{"B", 500001};
  std::mutex sessionsBMutex;
  std::map<std::string, std::string> sessionsB;  // session id -> form token

  // --- site C: a form made by script.
  Listener siteC;
  ListingBook listingsC{"C", 700001};

 private:
  std::mutex pauseMutex_;
  std::condition_variable pauseWake_;
  bool stopping_ = false;
};

// The routes of each listener.
void InstallService(Demo& demo, httplib::Server& server);
void InstallSiteAWeb(Demo& demo, httplib::Server& server);
void InstallSiteAApi(Demo& demo, httplib::Server& server);
void InstallSiteB(Demo& demo, httplib::Server& server);
void InstallSiteC(Demo& demo, httplib::Server& server);

// "/listings" (HTML, or JSON with ?format=json) and "/listings/N/photos/K".
void InstallListings(httplib::Server& server, const ListingBook& book, const std::string& siteName);

// Display names of the sites.
inline constexpr char kSiteAName[] = "站点 A · 安居房讯";
inline constexpr char kSiteBName[] = "站点 B · 邻家找房";
inline constexpr char kSiteCName[] = "站点 C · 易居速递";

}  // namespace demo
