#pragma once
// What the model suites share: the application object, waiting on the event loop, and the fake
// transcription service (with the runs endpoints) the cloud model talks to over real TLS.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QUrl>

#include <QStringList>

#include "app/models/cloud_model.h"
#include "app/models/recorder_model.h"
#include "testing/fake_runs_service.h"
#include "testing/fake_transcription_service.h"
#include "testing/temp_directory.h"

namespace talvo::testing {

// The one QCoreApplication of the test program (made on first use).
void ensureApplication();

// Runs the event loop until `done` answers true (true) or `milliseconds` passed (false).
bool waitUntil(const std::function<bool()>& done, int milliseconds = 20000);

// Records the addresses the model asks the desktop to open; answers `accept`.
struct OpenedUrls {
  std::shared_ptr<std::vector<QUrl>> urls = std::make_shared<std::vector<QUrl>>();
  std::shared_ptr<bool> accept = std::make_shared<bool>(true);
  UrlOpener opener() const {
    return [urls = urls, accept = accept](const QUrl& url) {
      urls->push_back(url);
      return *accept;
    };
  }
};

struct ModelServiceRig {
  TempDirectory recordings;
  TempDirectory storage;
  FakeTranscriptionService service;
  FakeRunsService runs{storage.path()};
  OpenedUrls opened;

  ModelServiceRig();  // starts the service
  // Stops the service before the runs it serves go: a model's worker may still be talking to it.
  ~ModelServiceRig();

  // The cloud model's setup against this service on `store`, with a fast tick.
  CloudModel::Setup setup(std::shared_ptr<DeviceVaultStore> store, int tickMilliseconds = 50) const;

  static FakeAccount account();  // "1001", "Алиса", @alice, unlimited
};

// The recorder's flags at every change, as "<starting><recording><stopping>" ("110": starting
// and recording both set).
QStringList& recordStates(RecorderModel& model);

// Drives a model through connect → approval → confirm until it is connected.
void linkThroughModel(CloudModel& model, ModelServiceRig& rig);

// The names in an install folder (InstallTree), sorted, with the tree that `app` links to spelled
// "<installed>" and the one `.app-previous` links to "<previous>".
std::vector<std::string> installFolderNames(const std::string& folder);

}  // namespace talvo::testing
