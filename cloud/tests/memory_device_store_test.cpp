// The in-memory vault store the suites use in place of the keyring.
#include "testing/memory_device_store.h"

#include <gtest/gtest.h>

#include <string>

#include "cloud/cloud_failure.h"
#include "cloud/cloud_vault.h"

namespace talvo {
namespace {

TEST(MemoryDeviceStore, BoundsTheStoredDocument) {
  std::string head = R"({"rotationId":")";
  std::string exact = head + std::string(CloudVault::maximumStoredSize - head.size() - 2, 'r') + "\"}";
  EXPECT_TRUE(testing::MemoryDeviceStore(exact).load().rotationId);
  std::string over = head + std::string(CloudVault::maximumStoredSize - head.size() - 1, 'r') + "\"}";
  EXPECT_THROW(testing::MemoryDeviceStore(over).load(), CloudFailure);
}

}  // namespace
}  // namespace talvo
