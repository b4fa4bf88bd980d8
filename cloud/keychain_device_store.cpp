#include "cloud/keychain_device_store.h"

#include <libsecret/secret.h>

#include <memory>

#include "cloud/cloud_failure.h"

namespace talvo {
namespace {

const SecretSchema* schema() {
  // DONT_MATCH_NAME: the item is found by its attributes alone, whoever wrote it.
  static const SecretSchema value = {
      "pro.talvo.recorder.Device",
      SECRET_SCHEMA_DONT_MATCH_NAME,
      {{"service", SECRET_SCHEMA_ATTRIBUTE_STRING}, {"account", SECRET_SCHEMA_ATTRIBUTE_STRING}, {nullptr, {}}},
      0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
  return &value;
}

struct ErrorHolder {
  GError* error = nullptr;
  ~ErrorHolder() {
    if (error != nullptr) g_error_free(error);
  }
};

[[noreturn]] void storageFailure() { throw CloudFailure("CREDENTIAL_STORAGE", 0); }

// libsecret reports "nothing found" both for a missing item and for a locked keyring: only an
// unlocked default collection makes the empty answer mean "no item".
void requireUnlockedKeyring() {
  ErrorHolder failure;
  SecretCollection* collection =
      secret_collection_for_alias_sync(nullptr, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, &failure.error);
  if (failure.error != nullptr || collection == nullptr) storageFailure();
  bool locked = secret_collection_get_locked(collection);
  g_object_unref(collection);
  if (locked) storageFailure();
}

}  // namespace

CloudVault KeychainDeviceStore::load() {
  ErrorHolder failure;
  gchar* secret = secret_password_lookup_sync(schema(), nullptr, &failure.error, "service", service.c_str(),
                                              "account", account, nullptr);
  if (failure.error != nullptr) {
    if (secret != nullptr) secret_password_free(secret);
    storageFailure();
  }
  if (secret == nullptr) {
    requireUnlockedKeyring();
    return CloudVault{};
  }
  std::string text(secret);
  secret_password_free(secret);
  if (text.size() > CloudVault::maximumStoredSize) storageFailure();
  return CloudVault::decode(text);  // a document that no longer reads is reported as such
}

void KeychainDeviceStore::save(const CloudVault& vault) {
  std::string text = vault.encode();
  // Storing with the same attributes replaces the item in place, or adds it when missing.
  ErrorHolder failure;
  gboolean stored = secret_password_store_sync(schema(), SECRET_COLLECTION_DEFAULT, "TALVO device key", text.c_str(),
                                               nullptr, &failure.error, "service", service.c_str(), "account",
                                               account, nullptr);
  if (!stored || failure.error != nullptr) storageFailure();
}

void KeychainDeviceStore::erase() {
  ErrorHolder failure;
  secret_password_clear_sync(schema(), nullptr, &failure.error, "service", service.c_str(), "account", account,
                             nullptr);
  if (failure.error != nullptr) storageFailure();
}

}  // namespace talvo
