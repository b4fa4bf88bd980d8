// The fake service's state and the small helpers its endpoint files share. Private to the
// fake service's own files.
#pragma once

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "testing/fake_transcription_service.h"

namespace talvo::testing {
namespace fake_service {

using nlohmann::json;
using SystemClock = std::chrono::system_clock;

std::string randomToken();
std::string sha256Hex(const std::string& text);
std::string pairCode();
std::optional<json> parseObject(const std::string& body);
std::optional<std::string> stringMember(const json& body, const char* key);
json accountJson(const FakeAccount& account);

}  // namespace fake_service

struct FakeTranscriptionService::State {
  struct Pairing {
    std::string operationId;
    std::string challenge;
    std::string code;
    std::string approvalUrl;
    std::string state = "pending";
    std::optional<FakeAccount> account;
    fake_service::SystemClock::time_point expiresAt;
    bool expired = false;
    std::optional<fake_service::json> redeemed;  // the credentials handed out, repeated for a repeated redeem
  };
  struct Session {
    std::string ownerId;
    std::string deviceId;
    fake_service::SystemClock::time_point expiresAt;
  };
  struct Refresh {
    std::string ownerId;
    std::string deviceId;
    bool spent = false;
    std::string rotationId;
    fake_service::json result;  // the session that spending it produced
  };
  struct Handoff {
    fake_service::SystemClock::time_point expiresAt;
    bool used = false;
  };
  // What arrived for one path: how often, the latest headers, and the bodies only when a test
  // asked for them (a benchmark sends gigabytes of parts).
  struct Received {
    int count = 0;
    httplib::Headers lastHeaders;
    std::vector<std::string> bodies;
  };
  struct ArmedFault {
    std::string path;
    Fault fault;
  };
  struct Route {
    std::string method;
    std::string pattern;
    Handler handler;
  };

  std::map<std::string, Pairing> pairings;   // by operation id
  std::map<std::string, Session> sessions;   // by access token
  std::map<std::string, Refresh> refreshes;  // by refresh token
  std::map<std::string, bool> devices;       // device id -> active
  std::map<std::string, FakeAccount> accounts;
  std::map<std::string, Handoff> handoffs;
  std::map<std::string, Received> received;
  std::set<std::string> keptBodies;
  std::vector<ArmedFault> faults;
  std::vector<Route> routes;
  std::set<std::pair<std::string, int>> peers;
  std::atomic<bool> stopping{false};
};

}  // namespace talvo::testing
