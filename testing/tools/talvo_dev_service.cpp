// talvo-dev-service: the fake transcription service on 127.0.0.1 for running TALVO locally.
//
//   talvo-dev-service [--port N] [--dir DIR] [--telegram-host HOST]
//
// Prints the origin and the CA file to trust, then takes commands on standard input:
//   list                          pairings and their codes
//   approve CODE [ID [NAME]]      approve a pairing as account ID (default 1001)
//   expire CODE                   make a pairing expire
//   publish VERSION FILE [TAMPER] offer FILE as release VERSION in the update feed, signed with
//                                 the key printed at start (see testing/fake_update_feed.h)
//   quit
// The same approval is available over HTTPS for scripts:
//   curl --cacert CA -d '{"code":"ABCDEF12","ownerId":"1001"}' https://127.0.0.1:PORT/dev/approve
// and so are the pairings (GET /dev/pairings: [{"code", "state"}…]) and the bytes an upload
// stored (GET /dev/stored/<recording id>; 404 while nothing is stored).
#include <httplib.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>

#include "core/system/posix_file.h"
#include "testing/fake_runs_service.h"
#include "testing/fake_transcription_service.h"
#include "testing/fake_update_feed.h"

using talvo::testing::FakeAccount;
using talvo::testing::FakeTranscriptionService;

namespace {

int usage() {
  std::cerr << "usage: talvo-dev-service [--port N] [--dir DIR] [--telegram-host HOST]\n";
  return 2;
}

FakeAccount accountFor(const std::string& id, const std::string& name) {
  return FakeAccount{id,
                     name.empty() ? "Тестовый аккаунт " + id : name,
                     "user" + id,
                     {{"plan", "unlimited"}, {"remainingSeconds", 36000}}};
}

std::string command(FakeTranscriptionService& service, const std::string& line) {
  std::istringstream words(line);
  std::string verb;
  words >> verb;
  if (verb == "list") {
    std::ostringstream out;
    for (const auto& pairing : service.pairings())
      out << pairing.code << "  " << pairing.state << "  " << pairing.operationId << "\n";
    return out.str().empty() ? "no pairings\n" : out.str();
  }
  if (verb == "approve") {
    std::string code, id = "1001", name;
    words >> code >> id;
    std::getline(words, name);
    if (!name.empty() && name[0] == ' ') name.erase(0, 1);
    if (id.empty()) id = "1001";
    return service.approvePairing(code, accountFor(id, name)) ? "approved " + code + " as " + id + "\n"
                                                              : "no pending pairing " + code + "\n";
  }
  if (verb == "expire") {
    std::string code;
    words >> code;
    return service.expirePairing(code) ? "expired " + code + "\n" : "no pairing " + code + "\n";
  }
  if (verb.empty()) return "";
  return "commands: list | approve CODE [ID [NAME]] | expire CODE | quit\n";
}

}  // namespace

int main(int argc, char** argv) {
  FakeTranscriptionService::Options options;
  options.port = 8443;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  options.directory = std::string(runtime != nullptr && runtime[0] == '/' ? runtime : "/tmp") + "/talvo-dev-service";
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (i + 1 >= argc) return usage();
    if (arg == "--port")
      options.port = std::atoi(argv[++i]);
    else if (arg == "--dir")
      options.directory = argv[++i];
    else if (arg == "--telegram-host")
      options.telegramHost = argv[++i];
    else
      return usage();
  }

  // Signals are taken by sigwait below, never by a handler in some server thread.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  FakeTranscriptionService service(options);
  service.addRoute("POST", "/dev/approve", [&service](const httplib::Request& request, httplib::Response& response) {
    try {
      auto body = nlohmann::json::parse(request.body);
      std::string code = body.at("code").get<std::string>();
      std::string id = body.value("ownerId", std::string("1001"));
      if (!service.approvePairing(code, accountFor(id, body.value("name", std::string()))))
        return FakeTranscriptionService::refuse(response, 404, "PAIRING_MISSING");
      FakeTranscriptionService::reply(response, {{"approved", true}});
    } catch (const std::exception&) {
      FakeTranscriptionService::refuse(response, 400, "BAD_REQUEST");
    }
  });
  // Uploads: runs, parts, finalize and processing, with parts kept under the service's folder;
  // processing jobs finish a few seconds after they are asked for.
  talvo::posix_file::makeDirectories(options.directory + "/runs");
  talvo::testing::FakeRunsService runs(options.directory + "/runs");
  runs.setJobDelay(std::chrono::seconds(5));
  runs.install(service);
  service.addRoute("GET", "/dev/pairings", [&service](const httplib::Request&, httplib::Response& response) {
    nlohmann::json list = nlohmann::json::array();
    for (const auto& pairing : service.pairings()) list.push_back({{"code", pairing.code}, {"state", pairing.state}});
    FakeTranscriptionService::reply(response, list);
  });
  service.addRoute("GET", R"(/dev/stored/([A-Za-z0-9_.-]+))",
                   [&runs](const httplib::Request& request, httplib::Response& response) {
                     std::string stored = runs.storedFile(request.matches[1].str());
                     if (stored.empty()) return FakeTranscriptionService::refuse(response, 404, "NOT_FOUND");
                     response.set_content(stored, "application/octet-stream");
                   });
  // The release feed and archives, signed with a key made now.
  talvo::testing::FakeUpdateFeed updates;
  updates.install(service);
  try {
    service.start();
  } catch (const std::exception& error) {
    std::cerr << "talvo-dev-service: " << error.what() << "\n";
    return 1;
  }
  std::cout << "origin: " << service.origin() << "\n"
            << "ca-file: " << service.caFile() << "\n"
            << "run TALVO against it with:\n"
            << "  TALVO_SERVICE_ORIGIN=" << service.origin() << " TALVO_CA_FILE=" << service.caFile()
            << " TALVO_TELEGRAM_HOST=" << service.telegramHost() << " build/app/talvo\n"
            << "update key: " << updates.publicKey() << "\n"
            << "commands: list | approve CODE [ID [NAME]] | expire CODE | publish VERSION FILE | quit" << std::endl;

  std::thread input([&service, &updates] {
    std::string line;
    while (std::getline(std::cin, line)) {
      if (line == "quit") break;
      auto reply = updates.command(line);
      std::cout << (reply ? *reply : command(service, line)) << std::flush;
    }
    // End of input without "quit" (e.g. started in the background) leaves the service running.
    if (line == "quit") kill(getpid(), SIGTERM);
  });
  input.detach();
  int received = 0;
  sigwait(&stopSignals, &received);
  service.stop();
  return 0;
}
