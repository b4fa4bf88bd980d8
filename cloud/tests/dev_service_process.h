#pragma once
// The standalone fake service (talvo-dev-service) as a child process of a test: started on a
// free port, its banner read from its output, commands typed on its input, stopped by PID.
// Header-only: only suites built with TALVO_DEV_SERVICE_PATH include it.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

namespace talvo::testing {

class DevServiceProcess {
 public:
  explicit DevServiceProcess(const std::string& directory) {
    int toChild[2];
    int fromChild[2];
    if (::pipe(toChild) != 0 || ::pipe(fromChild) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
    posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
    posix_spawn_file_actions_addclose(&actions, toChild[1]);
    posix_spawn_file_actions_addclose(&actions, fromChild[0]);
    std::string program = TALVO_DEV_SERVICE_PATH;
    std::vector<std::string> args{program, "--port", "0", "--dir", directory};
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    int spawned = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(toChild[0]);
    ::close(fromChild[1]);
    input_ = ::fdopen(toChild[1], "w");
    output_ = ::fdopen(fromChild[0], "r");
    if (spawned != 0) throw std::runtime_error("spawn failed");
  }
  ~DevServiceProcess() {
    if (input_ != nullptr) std::fclose(input_);  // end of input alone keeps it running
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    if (output_ != nullptr) std::fclose(output_);
  }
  // The value after "<key>: " on the next line starting with it.
  std::string readValue(const std::string& key) {
    char line[4096];
    while (std::fgets(line, sizeof line, output_) != nullptr) {
      std::string text(line);
      if (text.rfind(key + ": ", 0) == 0) return text.substr(key.size() + 2, text.size() - key.size() - 3);
    }
    return {};
  }
  std::string command(const std::string& line) {
    std::fputs((line + "\n").c_str(), input_);
    std::fflush(input_);
    char reply[4096];
    return std::fgets(reply, sizeof reply, output_) != nullptr ? reply : "";
  }

 private:
  pid_t pid_ = -1;
  FILE* input_ = nullptr;
  FILE* output_ = nullptr;
};

}  // namespace talvo::testing
