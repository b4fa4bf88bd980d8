#pragma once
// The quiet record on disk: "meeting-quiet.json" in the program's data folder. The file is tiny
// and ours alone, so it is read only when it is a regular file of the current user with a
// single link, in a folder of ours that others cannot write, and at most 8192 bytes long. It is
// replaced atomically and durably (temporary file, fsync, rename, folder fsync) with mode 0600,
// in a folder created with mode 0700. A damaged file is never deleted: the next save replaces it.
#include <optional>
#include <string>

#include "reminders/reminder_quiet_store.h"

namespace talvo {

class ReminderQuietFile final : public ReminderQuietStore {
 public:
  static constexpr const char* fileName = "meeting-quiet.json";
  static constexpr std::size_t sizeLimit = 8192;

  // `path` is the full path of the file; its last component must be a plain file name.
  explicit ReminderQuietFile(std::string path);

  // The file in the program's data folder (throws when the user's data folder is unknown).
  static ReminderQuietFile standard();

  const std::string& path() const noexcept { return path_; }

  // None when neither the file nor its folder exists. Throws FileError for every other problem:
  // an unreadable, foreign, linked, oversized or undecodable file.
  std::optional<ReminderQuietState> load() override;
  void save(const ReminderQuietState& state) override;

 private:
  std::string path_;
  std::string directory_;
  std::string name_;
};

}  // namespace talvo
