// The standalone fake service: started as a program, paired against, approved from its input.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "cloud/bounded_desktop_transport.h"
#include "cloud/desktop_cloud.h"
#include "cloud/memory_device_store.h"
#include "testing/temp_directory.h"

#ifdef TALVO_DEV_SERVICE_PATH

namespace talvo {
namespace {

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

TEST(DevService, StartsAndCanBePairedAgainst) {
  testing::TempDirectory directory;
  DevServiceProcess process(directory.path());
  std::string origin = process.readValue("origin");
  std::string caFile = process.readValue("ca-file");
  process.readValue("commands");  // the rest of the banner
  ASSERT_EQ(origin.rfind("https://127.0.0.1:", 0), 0u) << origin;

  BoundedDesktopTransport::Options options;
  options.caFile = caFile;
  DesktopCloud cloud(std::make_shared<MemoryDeviceStore>(), std::make_shared<BoundedDesktopTransport>(options), origin,
                     "t.me");
  auto descriptor = cloud.beginPair();
  EXPECT_EQ(process.command("approve " + descriptor.code + " 4242 Разработчик"),
            "approved " + descriptor.code + " as 4242\n");
  auto poll = cloud.pollPair();
  ASSERT_TRUE(poll.account);
  EXPECT_EQ(poll.account->name, "Разработчик");
  cloud.confirmAccount("4242");
  EXPECT_EQ(cloud.owner(), "4242");
  EXPECT_EQ(cloud.refreshInfo().ownerId, "4242");
}

}  // namespace
}  // namespace talvo

#endif
