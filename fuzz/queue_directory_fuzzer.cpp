// A folder of upload records, listed the way the queue lists it: every *.upload.json file is
// either a valid record or counted as unreadable, the result is sorted, and no file is touched.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <map>

#include "cloud/queue_directory.h"
#include "core/system/posix_file.h"
#include "fuzz/fuzz_support.h"

using namespace talvo;

namespace {

std::string readBack(const std::string& path) {
  std::string bytes(QueueDirectory::recordLimit + 2, '\0');
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) fuzz::broken("a record file went away");
  bytes.resize(posix_file::readFully(fd, bytes.data(), bytes.size()));
  ::close(fd);
  return bytes;
}

}  // namespace

TALVO_FUZZ(data) {
  const auto& scratch = fuzz::Scratch::instance();
  scratch.clear();
  static const char* const ids[] = {"3f0c1a52-9b7e-4c1d-8e2a-0f6b5d4c3b2a", "0b6a1d52-7c3e-4f1d-9e2a-1f6b5d4c3b2b",
                                    "7d2e9a10-1b2c-4d3e-a4f5-6a7b8c9d0e1f"};
  FuzzedDataProvider input(data, size);
  std::map<std::string, std::string> files;
  const int count = input.ConsumeIntegralInRange(0, 4);
  for (int i = 0; i < count && input.remaining_bytes() > 0; ++i) {
    std::string name = input.ConsumeBool() ? std::string(ids[input.ConsumeIntegralInRange(0, 2)])
                                           : input.ConsumeRandomLengthString(40);
    if (name.empty() || name.find('/') != std::string::npos || name.find('\0') != std::string::npos || name == "." ||
        name == "..")
      continue;
    name += ".upload.json";
    files[name] = i + 1 == count ? input.ConsumeRemainingBytesAsString() : input.ConsumeRandomLengthString(4096);
  }
  for (const auto& [name, bytes] : files) scratch.write(name, bytes);

  const auto listing = QueueDirectory(scratch.path()).list();
  fuzz::require(listing.items.size() + static_cast<std::size_t>(listing.unreadable) == files.size(),
                "a record neither listed nor counted");
  for (const auto& item : listing.items)
    fuzz::require(item.valid() && files.count(item.fileName()) == 1, "listed record invalid or misnamed");
  fuzz::require(std::is_sorted(listing.items.begin(), listing.items.end(),
                               [](const auto& a, const auto& b) { return a.startedAt < b.startedAt; }),
                "listing not sorted");
  for (const auto& [name, bytes] : files)
    fuzz::require(readBack(scratch.file(name)) == bytes, "listing changed a file");
  return 0;
}
