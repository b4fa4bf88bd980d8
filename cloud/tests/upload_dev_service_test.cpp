// The standalone development service accepts a whole upload made by the queue.
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
#include "cloud/queue_desktop_cloud.h"
#include "cloud/tests/queue_test_support.h"

#ifdef TALVO_DEV_SERVICE_PATH

namespace talvo {
namespace {

TEST(UploadDevService, AcceptsAFullUploadFromTheQueue) {
  testing::TempDirectory serviceDirectory;
  testing::TempDirectory recordings;
  int toChild[2];
  int fromChild[2];
  ASSERT_EQ(::pipe(toChild), 0);
  ASSERT_EQ(::pipe(fromChild), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
  posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
  posix_spawn_file_actions_addclose(&actions, toChild[1]);
  posix_spawn_file_actions_addclose(&actions, fromChild[0]);
  std::string program = TALVO_DEV_SERVICE_PATH;
  std::vector<std::string> args{program, "--port", "0", "--dir", serviceDirectory.path()};
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  ASSERT_EQ(posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  ::close(toChild[0]);
  ::close(fromChild[1]);
  FILE* input = ::fdopen(toChild[1], "w");
  FILE* output = ::fdopen(fromChild[0], "r");
  struct Stop {
    pid_t pid;
    FILE* input;
    FILE* output;
    ~Stop() {
      std::fclose(input);
      ::kill(pid, SIGTERM);
      ::waitpid(pid, nullptr, 0);
      std::fclose(output);
    }
  } stop{pid, input, output};

  auto value = [&](const std::string& key) {
    char line[4096];
    while (std::fgets(line, sizeof line, output) != nullptr) {
      std::string text(line);
      if (text.rfind(key + ": ", 0) == 0) return text.substr(key.size() + 2, text.size() - key.size() - 3);
    }
    return std::string();
  };
  std::string origin = value("origin");
  std::string caFile = value("ca-file");
  value("commands");
  ASSERT_FALSE(origin.empty());

  BoundedDesktopTransport::Options options;
  options.caFile = caFile;
  auto cloud = std::make_shared<DesktopCloud>(std::make_shared<MemoryDeviceStore>(),
                                              std::make_shared<BoundedDesktopTransport>(options), origin, "t.me");
  auto descriptor = cloud->beginPair();
  std::fputs(("approve " + descriptor.code + " 4242\n").c_str(), input);
  std::fflush(input);
  char reply[256];
  ASSERT_NE(std::fgets(reply, sizeof reply, output), nullptr);
  cloud->pollPair();
  cloud->confirmAccount("4242");

  QueueDesktopCloud queueCloud(cloud);
  DesktopUploadQueue queue(recordings.path(), queueCloud);
  std::string id = queue.prepare();
  testing::writeRecording(recordings.path(), id, testing::recordingBytes(4194304 + 4096));
  queue.finish(id, false);
  EXPECT_EQ(queue.sync(), (QueueSummary{1, 0, 0, 0, std::nullopt}));
  DesktopQueueItem item = queue.directory().load(id);
  EXPECT_EQ(item.state, "processing");
  EXPECT_TRUE(item.processAttempted);
}

}  // namespace
}  // namespace talvo

#endif
