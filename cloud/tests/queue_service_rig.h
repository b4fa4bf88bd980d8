#pragma once
// The upload queue against the fake transcription service over real TLS: the service with the
// runs endpoints installed, a linked DesktopCloud on an in-memory vault, and the queue on top.
#include <atomic>
#include <memory>
#include <string>

#include "cloud/bounded_desktop_transport.h"
#include "cloud/desktop_cloud.h"
#include "cloud/desktop_upload_queue.h"
#include "testing/stepped_clock.h"
#include "testing/memory_device_store.h"
#include "cloud/queue_desktop_cloud.h"
#include "testing/fake_runs_service.h"
#include "testing/fake_transcription_service.h"
#include "testing/temp_directory.h"

namespace talvo::testing {

struct QueueServiceRig {
  TempDirectory recordings;
  TempDirectory storage;
  FakeTranscriptionService service;
  FakeRunsService runs{storage.path()};
  std::shared_ptr<testing::MemoryDeviceStore> store = std::make_shared<testing::MemoryDeviceStore>();

  QueueServiceRig();  // starts the service and links the account "1001"

  // A client and queue of their own (e.g. in a child process) on the rig's vault store.
  struct Client {
    std::shared_ptr<DesktopCloud> cloud;
    QueueDesktopCloud queueCloud;
    DesktopUploadQueue queue;
    Client(QueueServiceRig& rig, std::shared_ptr<const Clock> clock);
  };
  std::unique_ptr<Client> client(std::shared_ptr<const Clock> clock = {});

  static FakeAccount account();
};

// The service holds the recording `id` exactly as it is on disk: a finalized run with the same
// size and SHA-256, and the same stored bytes.
void expectHeldExactly(QueueServiceRig& rig, const std::string& id);

}  // namespace talvo::testing
