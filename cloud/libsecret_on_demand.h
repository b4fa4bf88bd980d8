#pragma once
// libsecret, opened when the program first reads or writes its key in the keyring
// (core/system/lazy_library.h).
#include "core/system/lazy_library.h"

namespace talvo {

LazyLibrary& libsecret();

}  // namespace talvo
