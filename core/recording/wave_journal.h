#pragma once
// The recording file: a mono 16 kHz 16-bit PCM WAV that grows while a recording runs.
//
// Samples are appended at the end; the 44-byte header is rewritten and the file is fsynced only
// at checkpoints, so between checkpoints the header describes fewer samples than the file holds.
// After a crash the file is therefore a valid WAV up to the last checkpoint, and
// recoverOwnedFile() extends the header over every complete sample that reached the disk.
//
// Layout (little-endian): "RIFF", 36 + 2n, "WAVE", "fmt ", 16, PCM 1, 1 channel, 16000 Hz,
// 32000 bytes/s, block 2, 16 bits, "data", 2n, then n samples. Nothing else, ever.
//
// One thread at a time; the journal knows nothing of capture or timing.
#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "core/system/unique_fd.h"

namespace talvo {

class WaveJournal {
 public:
  static constexpr std::size_t headerSize = 44;
  // The most samples a file may hold: keeps 36 + 2 × frames within 32 bits.
  static constexpr std::uint32_t maximumFrames = 2'147'483'629;
  // The most data bytes close() and recovery accept after the header.
  static constexpr std::uint64_t maximumDataBytes = 4'294'967'251;

  // The header for `frames` samples. A count whose data size would reach 4,294,967,260 bytes is
  // a programming error and aborts: append() never lets frames get there.
  static std::array<std::uint8_t, headerSize> header(std::uint32_t frames);

  // Creates the file (O_EXCL | O_NOFOLLOW, mode 0600) and writes the empty header. An existing
  // file or link at `path` is left untouched: FileError(alreadyExists).
  explicit WaveJournal(std::string path);
  // Dropping an open journal closes the descriptor without a checkpoint, like a crash would.
  ~WaveJournal();
  WaveJournal(const WaveJournal&) = delete;
  WaveJournal& operator=(const WaveJournal&) = delete;

  // Adds samples at the end. Past maximumFrames: FileError(outOfSpace) and nothing is written.
  // A failed write leaves `frames` unchanged and the file cut back to the samples it had.
  void append(std::span<const std::int16_t> samples);
  // Rewrites the header for the current frames and fsyncs the file (exactly one fsync).
  void checkpoint();
  // Reconciles frames with the file's length, drops a torn last byte, checkpoints and closes.
  // The descriptor is closed in every case; the journal is not used afterwards.
  void close();

  // Repairs a file whose writer died before close(): it must be our own regular single-link
  // file with this program's header; the header is rewritten over every whole sample on disk.
  // FileError noSuchFile (cannot open), noPermissionRead (not ours), corruptFile (not our WAV).
  static void recoverOwnedFile(const std::string& path);

  // The file's path.
  const std::string& path() const noexcept { return path_; }
  std::uint32_t frames() const noexcept { return frames_; }

 private:
  UniqueFd handle_;
  std::string path_;
  std::uint32_t frames_ = 0;
};

}  // namespace talvo
