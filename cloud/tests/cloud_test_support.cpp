#include "cloud/tests/cloud_test_support.h"

#include <stdexcept>

namespace talvo::testing {

CloudRig::CloudRig(BoundedDesktopTransport::Limits limits) {
  service.start();
  BoundedDesktopTransport::Options options;
  options.limits = limits;
  options.caFile = service.caFile();
  transport = std::make_shared<BoundedDesktopTransport>(options);
  restartClient();
}

void CloudRig::restartClient() {
  cloud = std::make_unique<DesktopCloud>(store, transport, service.origin(), service.telegramHost(), clock);
}

FakeAccount CloudRig::alice() { return FakeAccount{"1001", "Алиса", "alice", {{"plan", "unlimited"}}}; }

FakeAccount CloudRig::bob() {
  return FakeAccount{"2002", "Боб", "bob", {{"plan", "basic"}, {"remainingSeconds", 3600}}};
}

void CloudRig::link(const FakeAccount& account) {
  auto descriptor = cloud->beginPair();
  if (!service.approvePairing(descriptor.code, account)) throw std::runtime_error("approval failed");
  cloud->pollPair();
  cloud->confirmAccount(account.id);
}

CloudVault CloudRig::storedVault() const {
  auto text = store->storedText();
  return text ? CloudVault::decode(*text) : CloudVault{};
}

}  // namespace talvo::testing
