// Recovery of a recording file after a crash, on arbitrary bytes: refused with FileError, or
// repaired into exactly our WAV over every whole sample, samples untouched.
#include <cstring>

#include "core/system/file_error.h"
#include "core/system/posix_file.h"
#include "core/recording/wave_journal.h"
#include "fuzz/fuzz_support.h"

using namespace talvo;

TALVO_FUZZ(data) {
  const auto& scratch = fuzz::Scratch::instance();
  scratch.clear();
  const std::string path = scratch.file("recording.wav");
  scratch.write("recording.wav", fuzz::text(data, size));
  try {
    WaveJournal::recoverOwnedFile(path);
  } catch (const FileError&) {
    return 0;
  }
  fuzz::require(size >= WaveJournal::headerSize, "a file shorter than the header recovered");
  const auto frames = static_cast<std::uint32_t>((size - WaveJournal::headerSize) / 2);
  std::string repaired(size + 1, '\0');
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  repaired.resize(posix_file::readFully(fd, repaired.data(), repaired.size()));
  ::close(fd);
  const auto header = WaveJournal::header(frames);
  fuzz::require(repaired.size() == WaveJournal::headerSize + 2 * std::size_t{frames}, "repaired length");
  fuzz::require(std::memcmp(repaired.data(), header.data(), header.size()) == 0, "repaired header");
  fuzz::require(std::memcmp(repaired.data() + header.size(), data + header.size(), 2 * std::size_t{frames}) == 0,
                "samples changed by recovery");
  return 0;
}
