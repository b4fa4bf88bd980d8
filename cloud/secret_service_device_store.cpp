#include "cloud/secret_service_device_store.h"

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
      0,
      nullptr,
      nullptr,
      nullptr,
      nullptr,
      nullptr,
      nullptr,
      nullptr};
  return &value;
}

struct ErrorHolder {
  GError* error = nullptr;
  ~ErrorHolder() {
    if (error != nullptr) g_error_free(error);
  }
};

[[noreturn]] void storageFailure() { throw CloudFailure("CREDENTIAL_STORAGE", 0); }

// libsecret reports "nothing found" both for a missing item and for a locked keyring: the
// empty answer means "no item" only if the default collection is not locked and no item with
// our attributes sits locked somewhere else. A keyring that has no default collection yet
// (nothing was ever stored) holds no item of ours either.
void requireNothingLocked(const std::string& service, const char* account) {
  ErrorHolder failure;
  // The collection lookup needs the service object itself: given none, libsecret 0.20 trips its
  // own guard and answers "no collection" without an error, so a locked keyring went unnoticed.
  SecretService* secretService = secret_service_get_sync(SECRET_SERVICE_NONE, nullptr, &failure.error);
  if (secretService == nullptr || failure.error != nullptr) {
    if (secretService != nullptr) g_object_unref(secretService);
    storageFailure();
  }
  SecretCollection* collection = secret_collection_for_alias_sync(secretService, SECRET_COLLECTION_DEFAULT,
                                                                  SECRET_COLLECTION_NONE, nullptr, &failure.error);
  g_object_unref(secretService);
  if (failure.error != nullptr) {
    if (collection != nullptr) g_object_unref(collection);
    storageFailure();
  }
  if (collection != nullptr) {
    bool locked = secret_collection_get_locked(collection);
    g_object_unref(collection);
    if (locked) storageFailure();
  }
  GHashTable* attributes = g_hash_table_new(g_str_hash, g_str_equal);
  g_hash_table_insert(attributes, const_cast<char*>("service"), const_cast<char*>(service.c_str()));
  g_hash_table_insert(attributes, const_cast<char*>("account"), const_cast<char*>(account));
  GList* items = secret_service_search_sync(nullptr, schema(), attributes, SECRET_SEARCH_ALL, nullptr, &failure.error);
  g_hash_table_unref(attributes);
  bool lockedItem = false;
  for (GList* item = items; item != nullptr; item = item->next)
    lockedItem = lockedItem || secret_item_get_locked(SECRET_ITEM(item->data));
  g_list_free_full(items, g_object_unref);
  if (failure.error != nullptr || lockedItem) storageFailure();
}

}  // namespace

CloudVault SecretServiceDeviceStore::load() {
  ErrorHolder failure;
  gchar* secret = secret_password_lookup_sync(schema(), nullptr, &failure.error, "service", service.c_str(), "account",
                                              account, nullptr);
  if (failure.error != nullptr) {
    if (secret != nullptr) secret_password_free(secret);
    storageFailure();
  }
  if (secret == nullptr) {
    requireNothingLocked(service, account);
    return CloudVault{};
  }
  std::string text(secret);
  secret_password_free(secret);
  if (text.size() > CloudVault::maximumStoredSize) storageFailure();
  return CloudVault::decode(text);  // a document that no longer reads is reported as such
}

void SecretServiceDeviceStore::save(const CloudVault& vault) {
  std::string text = vault.encode();
  // A record load() would refuse is never stored: the computer could not even disconnect.
  if (text.size() > CloudVault::maximumStoredSize) storageFailure();
  storeText(text);
}

void SecretServiceDeviceStore::storeText(const std::string& text) {
  // Storing with the same attributes replaces the item in place, or adds it when missing.
  ErrorHolder failure;
  gboolean stored =
      secret_password_store_sync(schema(), SECRET_COLLECTION_DEFAULT, "TALVO device key", text.c_str(), nullptr,
                                 &failure.error, "service", service.c_str(), "account", account, nullptr);
  if (!stored || failure.error != nullptr) storageFailure();
}

void SecretServiceDeviceStore::erase() {
  ErrorHolder failure;
  secret_password_clear_sync(schema(), nullptr, &failure.error, "service", service.c_str(), "account", account,
                             nullptr);
  if (failure.error != nullptr) storageFailure();
}

}  // namespace talvo
