#include "core/recording/wave_journal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "core/system/file_error.h"
#include "core/system/posix_file.h"
#include "core/system/system_call.h"

namespace talvo {
namespace {

static_assert(std::endian::native == std::endian::little, "samples are written in memory order");

constexpr off_t dataOffset = static_cast<off_t>(WaveJournal::headerSize);

void putUint32(std::uint8_t* at, std::uint32_t value) {
  at[0] = static_cast<std::uint8_t>(value);
  at[1] = static_cast<std::uint8_t>(value >> 8);
  at[2] = static_cast<std::uint8_t>(value >> 16);
  at[3] = static_cast<std::uint8_t>(value >> 24);
}

void putUint16(std::uint8_t* at, std::uint16_t value) {
  at[0] = static_cast<std::uint8_t>(value);
  at[1] = static_cast<std::uint8_t>(value >> 8);
}

off_t fileLength(int fd) {
  struct stat info {};
  if (system_call::fstat(fd, &info) != 0) throwFileError(FileErrorKind::unknownRead);
  return info.st_size;
}

void truncateTo(int fd, off_t length) {
  if (system_call::ftruncate(fd, length) != 0) throwFileError(FileErrorKind::unknownWrite);
}

// Makes the new file's name durable: without this a power loss can lose the whole recording
// even though its data was fsynced.
void syncParentDirectory(const std::string& path) {
  std::filesystem::path file(path);
  const std::string parent = file.has_parent_path() ? file.parent_path().string() : ".";
  UniqueFd dir(system_call::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir) throwFileError(FileErrorKind::unknownWrite);
  posix_file::syncDirectory(dir.get());
}

}  // namespace

std::array<std::uint8_t, WaveJournal::headerSize> WaveJournal::header(std::uint32_t frames) {
  if (frames > maximumFrames) {
    // 2 × frames would reach 4,294,967,260: the RIFF size would no longer fit.
    std::fprintf(stderr, "WaveJournal::header: %u frames do not fit a WAV file\n", frames);
    std::abort();
  }
  std::array<std::uint8_t, headerSize> bytes{};
  std::uint8_t* h = bytes.data();
  std::memcpy(h + 0, "RIFF", 4);
  putUint32(h + 4, 36 + 2 * frames);
  std::memcpy(h + 8, "WAVE", 4);
  std::memcpy(h + 12, "fmt ", 4);
  putUint32(h + 16, 16);     // format chunk size
  putUint16(h + 20, 1);      // integer PCM
  putUint16(h + 22, 1);      // mono
  putUint32(h + 24, 16000);  // sample rate
  putUint32(h + 28, 32000);  // bytes per second
  putUint16(h + 32, 2);      // bytes per frame
  putUint16(h + 34, 16);     // bits per sample
  std::memcpy(h + 36, "data", 4);
  putUint32(h + 40, 2 * frames);
  return bytes;
}

WaveJournal::WaveJournal(std::string path) : path_(std::move(path)) {
  handle_ = UniqueFd(system_call::open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!handle_) throwFileError(FileErrorKind::alreadyExists);  // the kind the design names; errno tells more
  try {
    const auto empty = header(0);
    posix_file::writeAll(handle_.get(), empty.data(), empty.size());
    posix_file::syncFile(handle_.get());
    syncParentDirectory(path_);
  } catch (...) {
    // The recording never began: the file we just made holds nothing and must not stay behind
    // as a recording without a valid header.
    handle_.reset();
    ::unlink(path_.c_str());
    throw;
  }
}

WaveJournal::~WaveJournal() = default;

void WaveJournal::append(std::span<const std::int16_t> samples) {
  if (!handle_) throw FileError(FileErrorKind::unknownWrite, EBADF);
  if (samples.size() > static_cast<std::size_t>(maximumFrames - frames_)) throw FileError(FileErrorKind::outOfSpace);
  if (samples.empty()) return;
  // Writing at the end of the samples we own (rather than at whatever the end of the file is)
  // and cutting a failed write back keeps every later sample on a 2-byte boundary: a torn odd
  // byte in the middle would turn the rest of the recording into noise.
  const off_t end = dataOffset + 2 * static_cast<off_t>(frames_);
  try {
    posix_file::writeAllAt(handle_.get(), samples.data(), samples.size_bytes(), end);
  } catch (...) {
    (void)system_call::ftruncate(handle_.get(), end);
    throw;
  }
  frames_ += static_cast<std::uint32_t>(samples.size());
}

void WaveJournal::checkpoint() {
  if (!handle_) throw FileError(FileErrorKind::unknownWrite, EBADF);
  const auto bytes = header(frames_);
  posix_file::writeAllAt(handle_.get(), bytes.data(), bytes.size(), 0);
  posix_file::syncFile(handle_.get());
}

void WaveJournal::close() {
  if (!handle_) throw FileError(FileErrorKind::unknownWrite, EBADF);
  // Whatever happens below, the descriptor is closed when we leave; an error of close() itself
  // is of no use to anyone once the data has been fsynced.
  struct Closer {
    UniqueFd& handle;
    ~Closer() { handle.reset(); }
  } closer{handle_};
  const off_t length = fileLength(handle_.get());
  if (length < dataOffset || static_cast<std::uint64_t>(length - dataOffset) > maximumDataBytes)
    throw FileError(FileErrorKind::corruptFile);
  frames_ = static_cast<std::uint32_t>((length - dataOffset) / 2);
  truncateTo(handle_.get(), dataOffset + 2 * static_cast<off_t>(frames_));
  checkpoint();
}

void WaveJournal::recoverOwnedFile(const std::string& path) {
  UniqueFd file(system_call::open(path.c_str(), O_RDWR | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
  if (!file) throwFileError(FileErrorKind::noSuchFile);
  struct stat info {};
  if (system_call::fstat(file.get(), &info) != 0) throwFileError(FileErrorKind::noPermissionRead);
  if (!posix_file::isOwnedSingleLinkFile(info)) throw FileError(FileErrorKind::noPermissionRead);

  const off_t length = fileLength(file.get());
  if (length < dataOffset || static_cast<std::uint64_t>(length - dataOffset) > maximumDataBytes)
    throw FileError(FileErrorKind::corruptFile);

  std::array<std::uint8_t, headerSize> found{};
  const std::size_t got = posix_file::readFullyAt(file.get(), found.data(), found.size(), 0);
  const auto expected = header(0);
  // The size fields at 4 and 40 are what the repair rewrites, so they are not examined.
  const bool ours =
      got == headerSize && std::memcmp(found.data(), "RIFF", 4) == 0 && std::memcmp(found.data() + 8, "WAVE", 4) == 0 &&
      std::memcmp(found.data() + 12, expected.data() + 12, 24) == 0 && std::memcmp(found.data() + 36, "data", 4) == 0;
  if (!ours) throw FileError(FileErrorKind::corruptFile);

  const auto frames = static_cast<std::uint32_t>((length - dataOffset) / 2);
  truncateTo(file.get(), dataOffset + 2 * static_cast<off_t>(frames));
  const auto repaired = header(frames);
  posix_file::writeAllAt(file.get(), repaired.data(), repaired.size(), 0);
  posix_file::syncFile(file.get());
}

}  // namespace talvo
