// The standalone development service accepts a whole upload made by the queue.
#include <gtest/gtest.h>

#include <string>

#include "cloud/bounded_desktop_transport.h"
#include "cloud/desktop_cloud.h"
#include "testing/memory_device_store.h"
#include "cloud/queue_desktop_cloud.h"
#include "cloud/tests/dev_service_process.h"
#include "cloud/tests/queue_test_support.h"

#ifdef TALVO_DEV_SERVICE_PATH

namespace talvo {
namespace {

TEST(UploadDevService, AcceptsAFullUploadFromTheQueue) {
  testing::TempDirectory serviceDirectory;
  testing::TempDirectory recordings;
  testing::DevServiceProcess process(serviceDirectory.path());
  std::string origin = process.readValue("origin");
  std::string caFile = process.readValue("ca-file");
  process.readValue("commands");  // the rest of the banner
  ASSERT_FALSE(origin.empty());

  BoundedDesktopTransport::Options options;
  options.caFile = caFile;
  auto cloud = std::make_shared<DesktopCloud>(std::make_shared<testing::MemoryDeviceStore>(),
                                              std::make_shared<BoundedDesktopTransport>(options), origin, "t.me");
  auto descriptor = cloud->beginPair();
  ASSERT_EQ(process.command("approve " + descriptor.code + " 4242"), "approved " + descriptor.code + " as 4242\n");
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
