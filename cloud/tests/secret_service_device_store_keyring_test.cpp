// The vault in the real Secret Service (gnome-keyring on a private session bus, started by
// scripts/with-desktop-env). Each test uses its own service name and removes its item.
#include "cloud/secret_service_device_store.h"

#include <gtest/gtest.h>
#include <libsecret/secret.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "cloud/cloud_failure.h"
#include "cloud/desktop_cloud.h"
#include "testing/memory_device_store.h"
#include "testing/require_component.h"
#include "core/values/recording_id.h"

extern char** environ;

namespace talvo {
namespace {

// True when a Secret Service answers.
bool secretServiceAvailable() {
  GError* error = nullptr;
  SecretService* service = secret_service_get_sync(SECRET_SERVICE_NONE, nullptr, &error);
  if (error != nullptr) g_error_free(error);
  if (service == nullptr) return false;
  g_object_unref(service);
  return true;
}

#define REQUIRE_SECRET_SERVICE() \
  TALVO_REQUIRE_COMPONENT(secretServiceAvailable(), "no Secret Service (run through scripts/with-desktop-env)")

// Items carrying our attributes, counted through the generic schema-free search.
int itemCount(const std::string& service) {
  GHashTable* attributes = g_hash_table_new(g_str_hash, g_str_equal);
  g_hash_table_insert(attributes, const_cast<char*>("service"), const_cast<char*>(service.c_str()));
  g_hash_table_insert(attributes, const_cast<char*>("account"), const_cast<char*>("device"));
  GError* error = nullptr;
  GList* items = secret_service_search_sync(nullptr, nullptr, attributes, SECRET_SEARCH_ALL, nullptr, &error);
  g_hash_table_unref(attributes);
  if (error != nullptr) {
    g_error_free(error);
    return -1;
  }
  int count = static_cast<int>(g_list_length(items));
  g_list_free_full(items, g_object_unref);
  return count;
}

class SecretServiceStore : public ::testing::Test {
 protected:
  void SetUp() override { REQUIRE_SECRET_SERVICE(); }
  void TearDown() override {
    try {
      store.erase();
    } catch (...) {
    }
  }
  SecretServiceDeviceStore store{"pro.talvo.recorder.device.test." + makeRecordingId()};
};

CloudVault sampleVault() {
  CloudVault vault;
  vault.login = DeviceLogin{CloudSession{"tok", "2026-12-07T10:00:00Z", "1001", "ref", "2027-01-07T10:00:00Z"},
                            "3f0c1a52-9b7e-4c1d-8e2a-0f6b5d4c3b2a", CloudAccount{"1001", "Алиса", std::nullopt}};
  return vault;
}

TEST_F(SecretServiceStore, MissingItemIsEmptyThenFirstSaveAddsAndLaterSavesUpdate) {
  // An empty answer is checked against a locked keyring; libsecret must get a real service
  // object for that, or its guard trips and the check quietly sees no collection at all.
  int criticals = 0;
  const guint handler = g_log_set_handler(
      "libsecret", G_LOG_LEVEL_CRITICAL,
      [](const gchar*, GLogLevelFlags, const gchar*, gpointer count) { ++*static_cast<int*>(count); }, &criticals);
  EXPECT_EQ(store.load(), CloudVault{});
  g_log_remove_handler("libsecret", handler);
  EXPECT_EQ(criticals, 0);
  EXPECT_EQ(itemCount(store.service), 0);

  CloudVault first = sampleVault();
  store.save(first);
  EXPECT_EQ(store.load(), first);
  EXPECT_EQ(itemCount(store.service), 1);

  CloudVault second = first;
  second.rotationId = "0b6d1c2e-2f4a-4c55-9a1b-3c4d5e6f7a8b";
  store.save(second);
  EXPECT_EQ(store.load(), second);
  EXPECT_EQ(itemCount(store.service), 1);

  store.save(CloudVault{});
  EXPECT_EQ(store.load(), CloudVault{});
}

TEST_F(SecretServiceStore, StoredDocumentsAreBoundedAndStrict) {
  std::string head = R"({"rotationId":")";
  std::string exact = head + std::string(CloudVault::maximumStoredSize - head.size() - 2, 'r') + "\"}";
  ASSERT_EQ(exact.size(), CloudVault::maximumStoredSize);
  store.storeText(exact);
  EXPECT_TRUE(store.load().rotationId);

  std::string over = head + std::string(CloudVault::maximumStoredSize - head.size() - 1, 'r') + "\"}";
  store.storeText(over);
  try {
    store.load();
    ADD_FAILURE() << "an oversize document was read";
  } catch (const CloudFailure& failure) {
    EXPECT_EQ(failure.code(), "CREDENTIAL_STORAGE");
  }

  // A document that no longer reads is reported as such, not as a keyring failure.
  store.storeText(R"({"login":{"session":{"token":"t"},"deviceId":"d"}})");
  EXPECT_THROW(store.load(), JsonDecodingError);
}

// Runs in a child process whose session bus address leads nowhere (see the test below).
TEST(SecretServiceChild, DISABLED_WithoutSecretServiceEveryCallFails) {
  SecretServiceDeviceStore store{"pro.talvo.recorder.device.test.none"};
  auto expectStorageFailure = [](auto&& action) {
    try {
      action();
      ADD_FAILURE() << "the call succeeded without a Secret Service";
    } catch (const CloudFailure& failure) {
      EXPECT_EQ(failure.code(), "CREDENTIAL_STORAGE");
      EXPECT_EQ(failure.status(), 0);
    }
  };
  expectStorageFailure([&] { store.load(); });
  expectStorageFailure([&] { store.save(CloudVault{}); });
  expectStorageFailure([&] { store.erase(); });
  expectStorageFailure(
      [&] { DesktopCloud(std::make_shared<SecretServiceDeviceStore>(store), nullptr, "https://talvo.pro", "t.me"); });
}

TEST(KeychainWithoutSecretService, EveryCallFailsWithCredentialStorage) {
  // libsecret keeps its bus connection for the life of the process, so a process that has
  // never seen a bus runs the checks.
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string text = *entry;
    if (text.rfind("DBUS_SESSION_BUS_ADDRESS=", 0) == 0) continue;
    environment.push_back(text);
  }
  environment.push_back("DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent/talvo-test-bus");
  std::vector<char*> envp;
  for (auto& text : environment) envp.push_back(text.data());
  envp.push_back(nullptr);
  std::string program = "/proc/self/exe";
  std::string filter = "--gtest_filter=SecretServiceChild.DISABLED_WithoutSecretServiceEveryCallFails";
  std::string disabled = "--gtest_also_run_disabled_tests";
  std::vector<char*> argv{program.data(), filter.data(), disabled.data(), nullptr};
  pid_t child = 0;
  ASSERT_EQ(posix_spawn(&child, program.c_str(), nullptr, nullptr, argv.data(), envp.data()), 0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace talvo
