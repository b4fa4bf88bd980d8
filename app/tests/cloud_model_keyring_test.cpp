// The cloud model on the real Secret Service (run through scripts/with-desktop-env): pairing
// seen through the model, and a pending pairing restored by the next start.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "app/models/cloud_model.h"
#include "app/tests/model_test_support.h"
#include "cloud/secret_service_device_store.h"
#include "core/values/recording_id.h"
#include "testing/require_component.h"

namespace talvo {
namespace {

using testing::ModelServiceRig;
using testing::waitUntil;

class CloudModelKeyring : public ::testing::Test {
 protected:
  void SetUp() override {
    std::optional<std::string> failure;
    try {
      store->load();
    } catch (const std::exception& error) {
      failure = error.what();
    }
    TALVO_REQUIRE_COMPONENT(!failure, "no Secret Service (run through scripts/with-desktop-env): " << *failure);
  }
  void TearDown() override {
    try {
      store->erase();
    } catch (...) {
    }
  }
  std::unique_ptr<CloudModel> make() {
    auto model = std::make_unique<CloudModel>(QString::fromStdString(rig.recordings.path()), rig.setup(store));
    EXPECT_TRUE(waitUntil([&] { return !model->preparing(); }));
    return model;
  }

  ModelServiceRig rig;
  std::shared_ptr<SecretServiceDeviceStore> store =
      std::make_shared<SecretServiceDeviceStore>("pro.talvo.recorder.device.test." + makeRecordingId());
};

TEST_F(CloudModelKeyring, PairingThroughTheModelEndsConnectedAndSurvivesARestart) {
  auto model = make();
  EXPECT_EQ(model->accountLabel(), CloudModel::notConnectedLabel);
  model->connect();
  ASSERT_TRUE(waitUntil([&] { return model->code().has_value() && !model->busy(); }));
  EXPECT_EQ(model->code()->size(), 8);
  ASSERT_TRUE(model->approvalUrl().has_value());
  EXPECT_EQ(model->approvalUrl()->host().toStdString(), rig.service.telegramHost());
  EXPECT_FALSE(model->candidateOwner().has_value());

  ASSERT_TRUE(rig.service.approvePairing(model->code()->toStdString(), ModelServiceRig::account()));
  ASSERT_TRUE(waitUntil([&] { return model->candidateOwner().has_value(); }));  // seen by the 3 s poll
  EXPECT_EQ(model->candidateOwner(), "1001");
  EXPECT_EQ(model->candidateLabel(), "Алиса · 1001");
  EXPECT_FALSE(model->connected());

  model->confirm();
  ASSERT_TRUE(waitUntil([&] { return model->connected() && !model->busy(); }));
  EXPECT_EQ(model->accountLabel(), "Алиса · 1001");
  EXPECT_FALSE(model->code().has_value());
  EXPECT_FALSE(model->approvalUrl().has_value());
  EXPECT_FALSE(model->candidateOwner().has_value());
  ASSERT_TRUE(waitUntil([&] { return model->freshRights(); }));

  model.reset();
  auto again = make();  // the login came back from the keyring
  EXPECT_TRUE(again->connected());
  EXPECT_EQ(again->accountLabel(), "Алиса · 1001");
  again->disconnect();
  ASSERT_TRUE(waitUntil([&] { return !again->busy(); }));
  EXPECT_FALSE(again->connected());
  again.reset();
  EXPECT_FALSE(make()->connected());
}

TEST_F(CloudModelKeyring, APendingPairingIsRestoredAtStartAndPolled) {
  QString code;
  {
    auto model = make();
    model->connect();
    ASSERT_TRUE(waitUntil([&] { return model->code().has_value() && !model->busy(); }));
    code = *model->code();
  }
  auto model = make();
  EXPECT_EQ(model->code(), code);
  EXPECT_TRUE(model->approvalUrl().has_value());
  EXPECT_TRUE(model->polling());
  ASSERT_TRUE(rig.service.approvePairing(code.toStdString(), ModelServiceRig::account()));
  ASSERT_TRUE(waitUntil([&] { return model->candidateOwner().has_value(); }));
  EXPECT_FALSE(model->polling());
  model->restartPair();
  ASSERT_TRUE(waitUntil([&] { return !model->busy(); }));
  EXPECT_FALSE(model->code().has_value());
  model.reset();
  EXPECT_FALSE(make()->code().has_value());  // the keyring forgot it too
}

}  // namespace
}  // namespace talvo
