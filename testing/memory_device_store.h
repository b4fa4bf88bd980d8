#pragma once
// A vault store in memory, for running the cloud client without the Secret Service. It keeps
// the stored text exactly as the keyring store would, counts saves, and can be told to fail.
#include <mutex>
#include <optional>
#include <string>

#include "cloud/device_vault_store.h"

namespace talvo::testing {

class MemoryDeviceStore : public DeviceVaultStore {
 public:
  MemoryDeviceStore() = default;
  explicit MemoryDeviceStore(std::string storedText) : text_(std::move(storedText)) {}

  CloudVault load() override;
  void save(const CloudVault& vault) override;

  // The stored document, none while nothing was saved.
  std::optional<std::string> storedText() const;
  int saveCount() const;
  // The next `count` saves fail with CloudFailure("CREDENTIAL_STORAGE", 0) and store nothing.
  void failSaves(int count);
  // Every load fails with CloudFailure("CREDENTIAL_STORAGE", 0) while set.
  void failLoads(bool fail);

 private:
  mutable std::mutex mutex_;
  std::optional<std::string> text_;
  int saves_ = 0;
  int failingSaves_ = 0;
  bool failingLoads_ = false;
};

}  // namespace talvo::testing
