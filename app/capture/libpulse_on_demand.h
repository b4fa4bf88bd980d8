#pragma once
// libpulse, opened when the program first talks to the sound server: a recording, or the meeting
// reminders' first look (core/system/lazy_library.h).
#include "core/system/lazy_library.h"

namespace talvo {

LazyLibrary& libpulse();

}  // namespace talvo
