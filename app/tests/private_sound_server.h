#pragma once
// A private sound server for tests that must not disturb the shared one (killing it, a server
// with no microphone), started and killed by PID. A PulseAudio daemon, or on a PipeWire run
// (TALVO_PIPEWIRE_ENV names scripts/pipewire-env) a PipeWire with the same devices.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/tests/pulse_test_player.h"
#include "testing/temp_directory.h"

namespace talvo::testing {

// A private sound server of the test's own, killed by PID: the shared one stays untouched.
class PrivateSoundServer {
 public:
  // Besides the usual pair, a "headset": output "headphones" and microphone "headsetmic" (fed
  // through sink "headsetfeed"). Without microphones there are only the outputs, and the server
  // picks a monitor as its default input.
  enum class Microphones { present, none };
  explicit PrivateSoundServer(Microphones microphones = Microphones::present) {
    if (const char* script = std::getenv("TALVO_PIPEWIRE_ENV")) {
      pipewireScript_ = script;
      const std::string command =
          "TALVO_PW_DIR='" + directory_.file("pw") +
          "' TALVO_PW_HEADSET=1 TALVO_PW_MICROPHONE=" + (microphones == Microphones::present ? "1" : "0") + " '" +
          pipewireScript_ + "' start >'" + directory_.file("server.log") + "' 2>&1";
      if (std::system(command.c_str()) != 0) {
        throw std::runtime_error("private pipewire did not come up: " + readWholeFile(directory_.file("server.log")));
      }
      address_ = "unix:" + directory_.file("pw/run/pulse/native");
      return;
    }
    address_ = "unix:" + directory_.file("native");
    const std::string config = directory_.file("server.pa");
    std::string modules =
        ".fail\n"
        "load-module module-native-protocol-unix auth-anonymous=1 socket=" +
        directory_.file("native") +
        "\n"
        "load-module module-null-sink sink_name=speakers rate=48000\n"
        "load-module module-null-sink sink_name=micfeed rate=48000\n"
        "load-module module-null-sink sink_name=headphones rate=48000\n"
        "load-module module-null-sink sink_name=headsetfeed rate=48000\n"
        "set-default-sink speakers\n";
    if (microphones == Microphones::present) {
      modules +=
          "load-module module-remap-source source_name=virtmic master=micfeed.monitor\n"
          "load-module module-remap-source source_name=headsetmic master=headsetfeed.monitor\n"
          "set-default-source virtmic\n";
    }
    writeWholeFile(config, modules);
    mkdir(directory_.file("home").c_str(), 0700);
    std::vector<std::string> environment{"HOME=" + directory_.file("home"), "XDG_RUNTIME_DIR=" + directory_.path(),
                                         "PULSE_RUNTIME_PATH=" + directory_.file("run"),
                                         "PULSE_STATE_PATH=" + directory_.file("state"), "PATH=" + path()};
    std::vector<std::string> arguments{"pulseaudio",
                                       "-n",
                                       "-F",
                                       config,
                                       "--daemonize=no",
                                       "--exit-idle-time=-1",
                                       "--disallow-exit",
                                       "--use-pid-file=no",
                                       "--log-target=stderr",
                                       "--log-level=error"};
    std::vector<char*> argv;
    for (auto& a : arguments) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, directory_.file("server.log").c_str(), O_WRONLY | O_CREAT, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    int spawned = posix_spawnp(&pid_, "pulseaudio", &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
      pid_ = -1;
      throw std::runtime_error("cannot start pulseaudio");
    }
    for (int i = 0; i < 200; ++i) {
      try {
        PulseTestPlayer probe(address());
        return;
      } catch (const std::exception&) {
        usleep(50000);
      }
    }
    kill();
    throw std::runtime_error("private pulseaudio did not come up");
  }
  ~PrivateSoundServer() {
    kill();
    if (!pipewireScript_.empty()) {
      const std::string command =
          "TALVO_PW_DIR='" + directory_.file("pw") + "' '" + pipewireScript_ + "' stop >/dev/null 2>&1";
      (void)std::system(command.c_str());
    }
  }

  std::string address() const { return address_; }
  // Kills the server the clients talk to (PulseAudio, or PipeWire's pulse server) by its PID.
  void kill() {
    if (!pipewireScript_.empty()) {
      const std::string pidFile = directory_.file("pw/pids/pipewire-pulse.pid");
      if (access(pidFile.c_str(), F_OK) == 0) {
        const pid_t pid = std::stoi(readWholeFile(pidFile));
        if (pid > 0) ::kill(pid, SIGKILL);
      }
      return;
    }
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
  }

 private:
  static std::string path() {
    const char* value = std::getenv("PATH");
    return value != nullptr ? value : "/usr/bin:/bin";
  }

  TempDirectory directory_;
  std::string pipewireScript_;
  std::string address_;
  pid_t pid_ = -1;
};

}  // namespace talvo::testing
