#pragma once
// libcurl, opened when the program first parses an address or speaks HTTP (core/system/lazy_library.h).
#include "core/system/lazy_library.h"

namespace talvo {

LazyLibrary& libcurl();

}  // namespace talvo
