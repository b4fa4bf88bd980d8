#pragma once
// The vault in the user's Secret Service keyring (libsecret): one item with the attributes
// service = `service` and account = "device", holding the vault's JSON text.
//
// A missing item is an empty vault. Everything else the keyring does wrong — no session bus,
// no Secret Service, a locked keyring, a refused write, an item too large — is
// CloudFailure("CREDENTIAL_STORAGE", 0). libsecret answers a lookup in a locked keyring with
// "nothing found" just as for a missing item, so before trusting an empty answer the default
// collection is asked whether it is unlocked.
#include <string>

#include "cloud/device_vault_store.h"
#include "core/program/native_product.h"

namespace talvo {

class SecretServiceDeviceStore : public DeviceVaultStore {
 public:
  std::string service = NativeProduct::deviceCredentialsService;

  SecretServiceDeviceStore() = default;
  explicit SecretServiceDeviceStore(std::string serviceName) : service(std::move(serviceName)) {}

  CloudVault load() override;
  void save(const CloudVault& vault) override;
  // Stores the text as it is, unchecked (save() after its checks; tests write malformed items).
  void storeText(const std::string& text);
  // Deletes the item (tests and the developer tool only; the program never removes it).
  void erase();

  static constexpr const char* account = "device";
};

}  // namespace talvo
