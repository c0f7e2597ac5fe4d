// The rules that answer the session helper's pipe requests, and the three
// lists they keep. Only the pipe-server thread calls into this file, so
// nothing is locked. The requests' forms are in helper/PipeWire.h.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

// User names of "$" requests whose check gave 0.
extern std::vector<std::string> g_arrUsers;
// Every request that matches no other rule: in practice the registrations
// of running clients, user name "&" process id.
extern std::vector<std::string> g_arrClients;
// Whole "+seturl:" requests (user name, "+seturl:", address) waiting to be fetched.
extern std::vector<std::string> g_arrUrls;

// What one request leads to.
struct RequestOutcome {
  std::string reply;
  bool stop = false;  // the helper ends after writing the reply
};

// Applies the first of the seven rules that matches the request.
RequestOutcome HandleRequest(std::string_view request);

// 0, or the process id of a live client registered for the user; cleans up
// the user's registration when it names a process that has ended.
pid_t CheckUser(std::string_view name);
// The process id that a registration names, when that process runs and is a
// client; 0 otherwise.
pid_t IsClientAlive(std::string_view entry);
// {"userList":[...]} with every entry of g_arrUsers as a JSON string.
std::string BuildUserList();
// Removes and gives the first stored "+seturl:" text of the request's user;
// empty when there is none.
std::string TakeUrl(std::string_view request);

// Empties the three lists (a helper starts with empty lists).
void ClearLists();
