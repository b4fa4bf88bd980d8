// The device vault document as the keyring store hands it over: refused with JsonDecodingError,
// or a vault whose own encoding reads back to the same vault.
#include "cloud/cloud_vault.h"
#include "fuzz/fuzz_support.h"

using namespace talvo;

TALVO_FUZZ(data) {
  CloudVault vault;
  try {
    vault = CloudVault::decode(std::string(fuzz::text(data, size)));
  } catch (const JsonDecodingError&) {
    return 0;
  }
  fuzz::require(CloudVault::decode(vault.encode()) == vault, "vault round trip");
  return 0;
}
