// One upload record, read from its file the way the queue reads it. A record is either refused
// (the queue's failure or one of the JSON readers' errors) or valid, and then it survives the queue's
// own save and load unchanged.
#include <nlohmann/json.hpp>

#include "cloud/cloud_failure.h"
#include "cloud/cloud_vault.h"
#include "cloud/queue_directory.h"
#include "fuzz/fuzz_support.h"

using namespace talvo;

TALVO_FUZZ(data) {
  const auto& scratch = fuzz::Scratch::instance();
  scratch.clear();
  const std::string id = "3f0c1a52-9b7e-4c1d-8e2a-0f6b5d4c3b2a";
  scratch.write(QueueDirectory::recordName(id), fuzz::text(data, size));
  QueueDirectory directory(scratch.path());
  DesktopQueueItem item;
  try {
    item = directory.load(id);
  } catch (const CloudFailure&) {
    return 0;
  } catch (const nlohmann::json::exception&) {
    return 0;
  } catch (const JsonDecodingError&) {
    return 0;
  }
  fuzz::require(item.valid() && item.id == id, "loaded record not valid");
  fuzz::require(DesktopQueueItem::fromJson(item.toJson()) == item, "record round trip");
  directory.save(item, /*createOnly=*/false);
  fuzz::require(directory.load(id) == item, "saved record reads back differently");
  return 0;
}
