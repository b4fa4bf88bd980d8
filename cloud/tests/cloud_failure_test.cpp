#include "cloud/cloud_failure.h"

#include <gtest/gtest.h>

namespace talvo {
namespace {

TEST(CloudFailure, MessagesFollowTheCodeAloneAndMatchExactly) {
  EXPECT_EQ(CloudFailure("DEVICE_REVOKED", 401).errorDescription(),
            CloudFailure("AUTH_REQUIRED", 0).errorDescription());
  EXPECT_EQ(CloudFailure("HTTP_502", 502).errorDescription(),
            "Не удалось завершить операцию (HTTP_502). Файлы остаются на компьютере.");
  EXPECT_EQ(CloudFailure("desktop_disabled", 403).errorDescription(),
            "Не удалось завершить операцию (desktop_disabled). Файлы остаются на компьютере.");
  EXPECT_EQ(CloudFailure("DESKTOP_DISABLED", 403).errorDescription(),
            CloudFailure("DESKTOP_DISABLED", 0).errorDescription());
  EXPECT_EQ(CloudFailure("CREDENTIAL_STORAGE", 0).errorDescription(),
            "Не удалось сохранить ключ устройства в связке ключей.");
  EXPECT_STREQ(CloudFailure("PAIRING_EXPIRED", 410).what(), "Запрос истёк. Начните подключение заново.");
}

TEST(CloudFailure, ServiceCodePattern) {
  EXPECT_TRUE(CloudFailure::isServiceCode("PAIRING_EXPIRED"));
  EXPECT_TRUE(CloudFailure::isServiceCode(std::string(64, 'A')));
  EXPECT_FALSE(CloudFailure::isServiceCode(std::string(65, 'A')));
  EXPECT_FALSE(CloudFailure::isServiceCode(""));
  EXPECT_FALSE(CloudFailure::isServiceCode("pairing_expired"));
  EXPECT_FALSE(CloudFailure::isServiceCode("BAD-CODE"));
}

}  // namespace
}  // namespace talvo
