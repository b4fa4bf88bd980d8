// The cloud model against the fake service over TLS, on an in-memory vault (the keyring suite
// covers the same flows on the real Secret Service).
#include "app/models/cloud_model.h"

#include <gtest/gtest.h>

#include <QDate>
#include <QLocale>
#include <QSignalSpy>

#include "app/models/model_worker.h"
#include "app/tests/model_test_support.h"
#include "cloud/cloud_failure.h"
#include "testing/memory_device_store.h"
#include "core/recording/wave_journal.h"

namespace talvo {
namespace {

using testing::ModelServiceRig;
using testing::waitUntil;

CloudInfo infoWith(const std::string& plan, std::optional<std::int64_t> remaining, std::optional<double> paidUntil) {
  CloudInfo info;
  info.rights = CloudRights{plan, remaining, paidUntil};
  return info;
}

TEST(CloudModelTexts, LabelsQueueAndTariff) {
  testing::ensureApplication();
  EXPECT_EQ(CloudModel::label(CloudAccount{"7", std::string(" \n Алиса\t"), std::string("alice")}, "7"), "Алиса · 7");
  EXPECT_EQ(CloudModel::label(CloudAccount{"7", std::string("  \n"), std::string("alice")}, "7"), "@alice · 7");
  EXPECT_EQ(CloudModel::label(CloudAccount{"7", std::string("   "), std::string("")}, "7"), "Telegram · 7");
  EXPECT_EQ(CloudModel::label(std::nullopt, "7"), "Telegram · 7");

  EXPECT_EQ(CloudModel::queueLabel(QueueSummary{5, 0, 0, 2, std::nullopt}),
            "Требуют проверки: 2. Откройте библиотеку или локальный файл.");
  EXPECT_EQ(CloudModel::queueLabel(QueueSummary{5, 0, 1, 0, std::nullopt}),
            "Записи другого аккаунта: 1. Подключите прежний аккаунт для отправки.");
  EXPECT_EQ(CloudModel::queueLabel(QueueSummary{5, 3, 0, 0, std::nullopt}),
            "В очереди: 5. Отправятся при доступной сети и тарифе.");
  EXPECT_EQ(CloudModel::queueLabel(QueueSummary{0, 3, 0, 0, std::nullopt}), std::nullopt);

  EXPECT_EQ(CloudModel::tariffLabel(std::nullopt), "Тариф появится после подключения");
  EXPECT_EQ(CloudModel::tariffLabel(CloudInfo{}), "Тариф появится после подключения");
  EXPECT_EQ(CloudModel::tariffLabel(infoWith("free", 3725, std::nullopt)), "Бесплатный · 62 мин 5 с");
  EXPECT_EQ(CloudModel::tariffLabel(infoWith("free", std::nullopt, std::nullopt)), "Бесплатный · 0 мин 0 с");
  EXPECT_EQ(CloudModel::tariffLabel(infoWith("free", -40, std::nullopt)), "Бесплатный · 0 мин 0 с");
  EXPECT_EQ(CloudModel::tariffLabel(infoWith("unlimited", std::nullopt, std::nullopt)), "Безлимит");
  const QLocale saved;
  QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));
  EXPECT_EQ(CloudModel::tariffLabel(infoWith("unlimited", 5, 1767225600000.0)), "Безлимит · до 01.01.2026");
  for (const double outOfRange : {1e300, -1e300, 9.3e18, 8.65e15})  // no date: shown as without one
    EXPECT_EQ(CloudModel::tariffLabel(infoWith("unlimited", std::nullopt, outOfRange)), "Безлимит") << outOfRange;
  QLocale::setDefault(saved);
}

TEST(CloudModelVault, AnUnreadableVaultLeavesALocalOnlyModel) {
  ModelServiceRig rig;
  auto setup = rig.setup(nullptr);
  setup.store = []() -> std::shared_ptr<DeviceVaultStore> { throw CloudFailure("CREDENTIAL_STORAGE", 0); };
  CloudModel model(QString::fromStdString(rig.recordings.path()), setup);
  EXPECT_TRUE(model.preparing());
  ASSERT_TRUE(waitUntil([&] { return !model.preparing(); }));
  EXPECT_EQ(model.message(), QString(CloudModel::keyUnavailableText));
  ASSERT_NE(model.queue(), nullptr);  // recordings still get their records, without owner
  model.connect();                    // nothing to connect with
  EXPECT_FALSE(model.busy());
  model.openLibrary();  // not connected: the plain library address, no request
  ASSERT_EQ(rig.opened.urls->size(), 1u);
  EXPECT_EQ(rig.opened.urls->back().toString().toStdString(), rig.service.origin() + "/library/");
  EXPECT_EQ(rig.service.requestCount("/api/desktop/library-link"), 0);
  *rig.opened.accept = false;
  model.openLibrary();
  EXPECT_EQ(model.libraryFailure(), QString(CloudModel::browserFailedText));
}

class CloudModelService : public ::testing::Test {
 protected:
  ModelServiceRig rig;
  std::shared_ptr<testing::MemoryDeviceStore> store = std::make_shared<testing::MemoryDeviceStore>();
  std::unique_ptr<CloudModel> model;

  void make() {
    model = std::make_unique<CloudModel>(QString::fromStdString(rig.recordings.path()), rig.setup(store));
    ASSERT_TRUE(waitUntil([&] { return !model->preparing(); }));
  }
  void link() {
    make();
    testing::linkThroughModel(*model, rig);
  }
  // A finished recording of `frames` frames, reserved in the queue by the model's queue.
  std::string recording(std::uint32_t frames) {
    const std::string id = model->queue()->prepare();
    const auto header = WaveJournal::header(frames);
    testing::writeWholeFile(rig.recordings.file(id + ".wav"),
                            std::string(header.begin(), header.end()) + std::string(frames * 2, '\x01'));
    return id;
  }
};

TEST_F(CloudModelService, AnExpiredPairingIsShownAndCleared) {
  make();
  model->connect();
  ASSERT_TRUE(waitUntil([&] { return model->code().has_value() && !model->busy(); }));
  ASSERT_TRUE(model->approvalUrl().has_value());
  ASSERT_EQ(rig.opened.urls->size(), 1u);
  EXPECT_EQ(rig.opened.urls->front(), *model->approvalUrl());  // the approval page was opened
  ASSERT_TRUE(rig.service.expirePairing(model->code()->toStdString()));
  ASSERT_TRUE(waitUntil([&] { return !model->code().has_value(); }));
  EXPECT_EQ(model->message(), QString::fromStdString(CloudFailure::messageFor("PAIRING_EXPIRED")));
  EXPECT_FALSE(model->approvalUrl().has_value());
  EXPECT_FALSE(model->polling());
  EXPECT_FALSE(model->connected());
}

TEST_F(CloudModelService, RestartAbandonsThePairingAndAConfirmWithoutCandidateDoesNothing) {
  make();
  model->confirm();
  EXPECT_FALSE(model->busy());
  model->connect();
  ASSERT_TRUE(waitUntil([&] { return model->code().has_value() && !model->busy(); }));
  model->restartPair();
  ASSERT_TRUE(waitUntil([&] { return !model->busy(); }));
  EXPECT_FALSE(model->code().has_value());
  EXPECT_FALSE(model->polling());
  EXPECT_EQ(store->storedText().value_or("").find("verifier"), std::string::npos);  // the vault forgot it
}

TEST_F(CloudModelService, CommandsStaySingleWhileBusy) {
  make();
  QSignalSpy busy(model.get(), &CloudModel::busyChanged);
  model->connect();
  model->connect();
  model->restartPair();
  ASSERT_TRUE(waitUntil([&] { return !model->busy(); }));
  EXPECT_EQ(busy.count(), 2);  // on, off: one command ran
  EXPECT_EQ(rig.service.requestCount("/api/desktop/pairings"), 1);
}

TEST_F(CloudModelService, LinkedRecordingsUploadAndUnlinkedOnesAreAdopted) {
  make();
  const std::string unlinked = recording(16000);
  model->finish(QString::fromStdString(unlinked), false);
  ASSERT_TRUE(waitUntil([&] { return model->summary().unlinked == 1 && !model->syncing(); }));
  testing::linkThroughModel(*model, rig);
  EXPECT_EQ(model->accountLabel(), "Алиса · 1001");
  ASSERT_TRUE(waitUntil([&] { return model->freshRights(); }));
  EXPECT_EQ(model->tariffLabel(), "Безлимит");
  EXPECT_FALSE(rig.runs.run(unlinked).has_value());  // not ours to send until adopted

  model->adoptUnlinked();
  ASSERT_TRUE(waitUntil([&] { return !model->busy() && rig.runs.run(unlinked).has_value(); }));
  EXPECT_EQ(rig.runs.storedFile(unlinked), testing::readWholeFile(rig.recordings.file(unlinked + ".wav")));

  const std::string linked = recording(8000);
  bool done = false;
  model->finish(QString::fromStdString(linked), false, [&] { done = true; });
  ASSERT_TRUE(waitUntil([&] { return done; }));
  ASSERT_TRUE(
      waitUntil([&] { return rig.runs.run(linked).has_value() && rig.runs.run(linked)->status == "finalized"; }));
  EXPECT_EQ(rig.runs.storedFile(linked), testing::readWholeFile(rig.recordings.file(linked + ".wav")));
}

TEST_F(CloudModelService, AFinishTheQueueCannotRecordShowsTheLocalWarning) {
  make();
  bool done = false;
  model->finish("00000000-0000-4000-8000-000000000000", false, [&] { done = true; });  // no such record
  ASSERT_TRUE(waitUntil([&] { return done; }));
  EXPECT_EQ(model->localWarning(), QString(CloudModel::queueNotSavedText));
}

TEST_F(CloudModelService, TheLibraryOpensThroughAOneTimeLinkOrSaysWhyNot) {
  link();
  model->openLibrary();
  ASSERT_TRUE(waitUntil([&] { return !model->openingLibrary(); }));
  EXPECT_EQ(model->libraryFailure(), std::nullopt);
  ASSERT_FALSE(rig.opened.urls->empty());
  EXPECT_TRUE(rig.opened.urls->back().toString().contains("#handoff="));

  struct Row {
    testing::Fault fault;
    const char* text;
  };
  const Row rows[] = {
      {{testing::FaultKind::serverError, 403, "DEVICE_REVOKED"}, CloudModel::reconnectText},
      {{testing::FaultKind::serverError, 403, "OWNER_MISMATCH"}, CloudModel::reconnectText},
      {{testing::FaultKind::serverError, 503, "UNAVAILABLE"}, CloudModel::libraryFailedText},
  };
  for (const Row& row : rows) {
    rig.service.armFault("/api/desktop/library-link", row.fault);
    model->openLibrary();
    model->openLibrary();  // ignored while the first runs
    ASSERT_TRUE(waitUntil([&] { return !model->openingLibrary(); }));
    EXPECT_EQ(model->libraryFailure(), QString(row.text));
    rig.service.clearFaults();
  }
  *rig.opened.accept = false;
  model->openLibrary();
  ASSERT_TRUE(waitUntil([&] { return !model->openingLibrary(); }));
  EXPECT_EQ(model->libraryFailure(), QString(CloudModel::browserFailedText));
}

TEST_F(CloudModelService, DisconnectUnlinksThisComputer) {
  link();
  QSignalSpy connected(model.get(), &CloudModel::connectedChanged);
  model->disconnect();
  ASSERT_TRUE(waitUntil([&] { return !model->busy() && !model->connected(); }));
  EXPECT_EQ(connected.count(), 1);
  EXPECT_EQ(model->accountLabel(), CloudModel::notConnectedLabel);
  EXPECT_FALSE(model->freshRights());
  EXPECT_EQ(model->message(), std::nullopt);
}

TEST_F(CloudModelService, ADestroyedModelReceivesNothing) {
  make();
  model->connect();
  model.reset();  // the request is on its way; its answer must not reach a dead model
  ASSERT_TRUE(waitUntil([&] { return rig.service.pairings().size() == 1; }));
  modelWorkers()->waitForDone();
  testing::waitUntil([] { return false; }, 100);  // whatever the worker posted has been delivered
  EXPECT_TRUE(rig.opened.urls->empty()) << "the approval page was opened for a model that is gone";
}

// A poll on its way when the user starts over belongs to the abandoned pairing: whatever it
// answers (the old pairing is void, or expired) leaves the new one and its polling alone.
TEST_F(CloudModelService, AStalePollAnswerLeavesTheNextPairingAlone) {
  make();
  const std::string poll = "/api/desktop/pairings/poll";
  for (const bool expired : {false, true}) {
    model->connect();
    ASSERT_TRUE(waitUntil([&] { return model->code().has_value() && !model->busy(); }));
    const QString old = *model->code();
    const int polls = rig.service.requestCount(poll);
    rig.service.armFault(poll, {testing::FaultKind::slowBody, 200, "", "", "", 0, std::chrono::milliseconds(700)});
    if (expired) {
      ASSERT_TRUE(rig.service.expirePairing(old.toStdString()));
    }
    ASSERT_TRUE(waitUntil([&] { return rig.service.requestCount(poll) > polls; }));
    model->restartPair();
    ASSERT_TRUE(waitUntil([&] { return !model->busy() && !model->code().has_value(); }));
    model->connect();
    ASSERT_TRUE(waitUntil([&] { return model->code().has_value() && !model->busy(); }));
    ASSERT_NE(*model->code(), old);
    // The slow answer arrived once the loop polls again.
    ASSERT_TRUE(waitUntil([&] { return rig.service.requestCount(poll) > polls + 1; }, 5000)) << "polling stopped";
    EXPECT_EQ(model->message(), std::nullopt);
    EXPECT_TRUE(model->code().has_value());
    EXPECT_TRUE(model->polling());
    if (!expired) {
      model->restartPair();
      ASSERT_TRUE(waitUntil([&] { return !model->busy() && !model->code().has_value(); }));
    }
  }
  ASSERT_TRUE(rig.service.approvePairing(model->code()->toStdString(), ModelServiceRig::account()));
  ASSERT_TRUE(waitUntil([&] { return model->candidateOwner().has_value(); }));
}

// A sync that was on its way while the user disconnected fails only because of that disconnect.
TEST_F(CloudModelService, ASyncOverlappingADisconnectShowsNoFailure) {
  link();
  ASSERT_TRUE(waitUntil([&] { return !model->syncing(); }));
  const std::string session = "/api/desktop/session";
  const int reads = rig.service.requestCount(session);
  rig.service.armFault(session, {testing::FaultKind::slowBody, 200, "", "", "", 0, std::chrono::milliseconds(700)});
  model->synchronize();
  ASSERT_TRUE(waitUntil([&] { return rig.service.requestCount(session) > reads; }));
  model->disconnect();
  ASSERT_TRUE(waitUntil([&] { return !model->busy() && !model->connected() && !model->syncing(); }));
  EXPECT_EQ(model->message(), std::nullopt);
  EXPECT_EQ(model->accountLabel(), CloudModel::notConnectedLabel);
}

}  // namespace
}  // namespace talvo
