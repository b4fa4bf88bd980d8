// The reminder's quiet file: any content is read or refused with FileError, and a trusted
// state survives the file's own save and load.
#include "core/system/file_error.h"
#include "fuzz/fuzz_support.h"
#include "reminders/reminder_quiet_file.h"

using namespace talvo;

TALVO_FUZZ(data) {
  const auto& scratch = fuzz::Scratch::instance();
  scratch.clear();
  scratch.write(ReminderQuietFile::fileName, fuzz::text(data, size));
  ReminderQuietFile file(scratch.file(ReminderQuietFile::fileName));
  std::optional<ReminderQuietState> state;
  try {
    state = file.load();
  } catch (const FileError&) {
    return 0;
  }
  fuzz::require(state.has_value(), "an existing file read as missing");
  if (!state->trusted()) return 0;
  file.save(*state);
  fuzz::require(file.load() == state, "quiet state round trip");
  return 0;
}
