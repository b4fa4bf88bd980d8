// The standalone fake service: started as a program, paired against, approved from its input.
#include <gtest/gtest.h>

#include <string>

#include "cloud/bounded_desktop_transport.h"
#include "cloud/desktop_cloud.h"
#include "testing/memory_device_store.h"
#include "cloud/tests/dev_service_process.h"
#include "testing/temp_directory.h"

#ifdef TALVO_DEV_SERVICE_PATH

namespace talvo {
namespace {

TEST(DevService, StartsAndCanBePairedAgainst) {
  testing::TempDirectory directory;
  testing::DevServiceProcess process(directory.path());
  std::string origin = process.readValue("origin");
  std::string caFile = process.readValue("ca-file");
  process.readValue("commands");  // the rest of the banner
  ASSERT_EQ(origin.rfind("https://127.0.0.1:", 0), 0u) << origin;

  BoundedDesktopTransport::Options options;
  options.caFile = caFile;
  DesktopCloud cloud(std::make_shared<testing::MemoryDeviceStore>(), std::make_shared<BoundedDesktopTransport>(options),
                     origin, "t.me");
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
