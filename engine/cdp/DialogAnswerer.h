// Answers the dialogs of a browser from a thread of its own. Dialogs of
// frames in different processes may open at the same moment, and one
// answer closes only the dialog showing then; so a page with a dialog
// reported is answered again and again until as many dialogs have closed
// as opened. The browser may report a dialog a moment before it takes an
// answer for it ("no dialog is showing"): such a refusal is tried again
// shortly, for a while, instead of being taken as the end.
//
// When dialogs of two processes overlap, the browser closes the older one
// itself and may then refuse every answer for the newer one, which then
// holds its page for good. A page whose dialog stays refused and whose
// document no longer answers a plain evaluation is closed: the page
// browser then has no document, and its next navigation opens a new page.
// The loop's thread is never needed: it may itself be waiting for a call
// that a showing dialog holds up.
#pragma once

#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "engine/cdp/Connection.h"

namespace cdp {

class DialogAnswerer {
 public:
  explicit DialogAnswerer(Connection& c);
  ~DialogAnswerer();
  DialogAnswerer(const DialogAnswerer&) = delete;
  DialogAnswerer& operator=(const DialogAnswerer&) = delete;

  // From the reader thread: a dialog opened in the page of `session`.
  void Opened(const std::string& session);
  // From the reader thread: a dialog of that page closed, answered or not.
  void Closed(const std::string& session);

 private:
  static constexpr int kRetryMs = 20;
  static constexpr int kMaxRefusals = 100;  // about two seconds of refusals
  static constexpr int kProbeMs = 3000;     // a busy page still answers in that time
  static constexpr int kAnswerMs = 2000;

  void Run();
  // Closes the page of `session` when its document does not answer.
  void CloseIfHeld(const std::string& session);
  // A page with a dialog still to answer, or null.
  std::pair<const std::string, int>* Next();

  Connection& conn_;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool stop_ = false;
  std::map<std::string, int> open_, refusals_;
  std::thread thread_;
};

}  // namespace cdp
