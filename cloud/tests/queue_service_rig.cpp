#include "cloud/tests/queue_service_rig.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "cloud/upload_sha256.h"

namespace talvo::testing {

FakeAccount QueueServiceRig::account() { return FakeAccount{"1001", "Алиса", "alice", {{"plan", "unlimited"}}}; }

QueueServiceRig::QueueServiceRig() {
  runs.install(service);
  service.start();
  std::unique_ptr<Client> linking = client();
  auto descriptor = linking->cloud->beginPair();
  if (!service.approvePairing(descriptor.code, account())) throw std::runtime_error("approval failed");
  linking->cloud->pollPair();
  linking->cloud->confirmAccount(account().id);
}

QueueServiceRig::Client::Client(QueueServiceRig& rig, std::shared_ptr<const Clock> clock)
    : cloud(std::make_shared<DesktopCloud>(
          rig.store,
          std::make_shared<BoundedDesktopTransport>(BoundedDesktopTransport::Options{{}, rig.service.caFile(), true}),
          rig.service.origin(), rig.service.telegramHost())),
      queueCloud(cloud),
      queue(rig.recordings.path(), queueCloud, std::move(clock)) {}

std::unique_ptr<QueueServiceRig::Client> QueueServiceRig::client(std::shared_ptr<const Clock> clock) {
  auto made = std::make_unique<Client>(*this, std::move(clock));
  return made;
}

void expectHeldExactly(QueueServiceRig& rig, const std::string& id) {
  auto run = rig.runs.run(id);
  ASSERT_TRUE(run);
  std::string local = testing::readWholeFile(rig.recordings.file(id + ".wav"));
  EXPECT_EQ(run->status, "finalized");
  EXPECT_EQ(run->bytes, static_cast<std::int64_t>(local.size()));
  EXPECT_EQ(run->sha256, UploadSha256::hex(local));
  EXPECT_EQ(rig.runs.storedFile(id), local);
}

}  // namespace talvo::testing
