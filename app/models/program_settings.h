#pragma once
// The program's settings store: native INI under $XDG_CONFIG_HOME/TALVO/.
#include <memory>

#include <QSettings>

namespace talvo {

std::shared_ptr<QSettings> programSettings();

// "Убирать эхо динамиков": the microphone's echo cancellation, on unless the user turned it off.
// Read when a recording starts (from any thread), so a change applies from the next recording.
inline constexpr const char* echoCancellationKey = "echoCancellation.v1";
bool echoCancellationEnabled();
void setEchoCancellationEnabled(bool enabled);

}  // namespace talvo
