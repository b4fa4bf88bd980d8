#pragma once
// The program's microphone echo canceller (the library that did best on the echo-path test,
// see bench/README.md). Throws when the library cannot start.
#include <memory>

#include "core/recording/echo_canceller.h"

namespace talvo {

std::unique_ptr<EchoCanceller> makeEchoCanceller();

}  // namespace talvo
