#pragma once
// The asynchronous microphone-access step before a recording starts. Linux has no prompt: the
// production answer is "granted" (the sound server itself decides what we may record), but the
// recorder still waits for one answer, so tests can deny access.
#include <functional>

namespace talvo {

class MicrophonePermission {
 public:
  virtual ~MicrophonePermission() = default;
  // Calls `answer` exactly once, on any thread, with whether access is granted.
  virtual void request(std::function<void(bool granted)> answer) = 0;
};

class GrantedMicrophonePermission : public MicrophonePermission {
 public:
  void request(std::function<void(bool granted)> answer) override { answer(true); }
};

}  // namespace talvo
