#include "app/capture/echo_canceller_factory.h"

#include "app/capture/webrtc_echo_canceller.h"

namespace talvo {

std::unique_ptr<EchoCanceller> makeEchoCanceller() { return std::make_unique<WebRtcEchoCanceller>(); }

}  // namespace talvo
