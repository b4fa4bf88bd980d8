#include "core/native_product.h"

#include <gtest/gtest.h>

#include "testing/scoped_env.h"

namespace talvo {
namespace {

using testing::ScopedEnv;

TEST(RecordingsDirectory, FollowsXdgDataHomeAndIgnoresARelativeValue) {
  ScopedEnv home("HOME", "/home/someone");
  ScopedEnv data("XDG_DATA_HOME", "/data/place");
  EXPECT_EQ(recordingsDirectory(), "/data/place/TALVO/Recordings/");
  data.set("relative/place");
  EXPECT_EQ(recordingsDirectory(), "/home/someone/.local/share/TALVO/Recordings/");
  data.set(std::nullopt);
  EXPECT_EQ(recordingsDirectory(), "/home/someone/.local/share/TALVO/Recordings/");
}

}  // namespace
}  // namespace talvo
