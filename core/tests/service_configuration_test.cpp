// The build's service: fixed in production, overridable in development by what the program's
// start hands in.
#include "core/program/service_configuration.h"

#include <gtest/gtest.h>

#include "core/program/native_product.h"

namespace talvo {
namespace {

TEST(ServiceConfiguration, NoOverridesIsProduction) {
  const auto configuration = ServiceConfiguration::withOverrides(nullptr, "", nullptr);
  EXPECT_EQ(configuration.origin, ServiceConfiguration::productionOrigin);
  EXPECT_EQ(configuration.telegramHost, ServiceConfiguration::productionTelegramHost);
  EXPECT_FALSE(configuration.caFile);
}

TEST(ServiceConfiguration, DevelopmentTakesOnlyWellFormedOverrides) {
  const auto local = ServiceConfiguration::withOverrides("https://127.0.0.1:8443", "t.local", "/tmp/ca.pem");
  if constexpr (NativeProduct::production) {
    EXPECT_EQ(local.origin, ServiceConfiguration::productionOrigin);  // a release ignores them all
    EXPECT_FALSE(local.caFile);
    return;
  }
  EXPECT_EQ(local.origin, "https://127.0.0.1:8443");
  EXPECT_EQ(local.telegramHost, "t.local");
  EXPECT_EQ(local.caFile, "/tmp/ca.pem");
  for (const char* bad : {"http://127.0.0.1:8080", "https://127.0.0.1:8443/path", "https://u@127.0.0.1",
                          "https://127.0.0.1/?q", "not a url"}) {
    EXPECT_EQ(ServiceConfiguration::withOverrides(bad, nullptr, nullptr).origin, ServiceConfiguration::productionOrigin)
        << bad;
  }
  EXPECT_FALSE(ServiceConfiguration::withOverrides(nullptr, nullptr, "relative/ca.pem").caFile);
}

}  // namespace
}  // namespace talvo
