// The autostart entry as read back from a file the user may have edited: any text is either
// refused or read, and the program it names comes back unchanged from our own rendering.
#include "fuzz/fuzz_support.h"
#include "autostart/autostart_entry.h"

using namespace talvo;

TALVO_FUZZ(data) {
  const auto entry = AutostartEntry::parse(fuzz::text(data, size));
  if (!entry || entry->program.empty()) return 0;
  for (unsigned char c : entry->program)
    if (c < 0x20 || c == 0x7f) return 0;  // not a program path we would ever write
  const auto again = AutostartEntry::parse(AutostartEntry::render(entry->program));
  fuzz::require(again && again->program == entry->program && !again->hidden && !again->disabled,
                "rendered entry does not read back");
  return 0;
}
