#pragma once
// libarchive, opened when the updater first unpacks a release (core/system/lazy_library.h).
#include "core/system/lazy_library.h"

namespace talvo {

LazyLibrary& libarchive();

}  // namespace talvo
