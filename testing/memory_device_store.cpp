#include "testing/memory_device_store.h"

#include "cloud/cloud_failure.h"

namespace talvo::testing {

CloudVault MemoryDeviceStore::load() {
  std::lock_guard lock(mutex_);
  if (failingLoads_) throw CloudFailure("CREDENTIAL_STORAGE", 0);
  if (!text_) return CloudVault{};
  if (text_->size() > CloudVault::maximumStoredSize) throw CloudFailure("CREDENTIAL_STORAGE", 0);
  return CloudVault::decode(*text_);
}

void MemoryDeviceStore::save(const CloudVault& vault) {
  std::string text = vault.encode();
  // What could not be read back must not be stored.
  if (text.size() > CloudVault::maximumStoredSize) throw CloudFailure("CREDENTIAL_STORAGE", 0);
  std::lock_guard lock(mutex_);
  if (failingSaves_ > 0) {
    --failingSaves_;
    throw CloudFailure("CREDENTIAL_STORAGE", 0);
  }
  text_ = std::move(text);
  ++saves_;
}

std::optional<std::string> MemoryDeviceStore::storedText() const {
  std::lock_guard lock(mutex_);
  return text_;
}

int MemoryDeviceStore::saveCount() const {
  std::lock_guard lock(mutex_);
  return saves_;
}

void MemoryDeviceStore::failSaves(int count) {
  std::lock_guard lock(mutex_);
  failingSaves_ = count;
}

void MemoryDeviceStore::failLoads(bool fail) {
  std::lock_guard lock(mutex_);
  failingLoads_ = fail;
}

}  // namespace talvo::testing
