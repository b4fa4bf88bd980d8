#pragma once
// Where the vault lives between runs. Both calls are synchronous and may fail; a store with
// nothing in it loads as an empty vault.
#include "cloud/cloud_vault.h"

namespace talvo {

class DeviceVaultStore {
 public:
  virtual ~DeviceVaultStore() = default;
  virtual CloudVault load() = 0;
  virtual void save(const CloudVault& vault) = 0;
};

}  // namespace talvo
