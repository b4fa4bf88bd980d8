#pragma once
// Lists the processes that are recording from a real input right now. Called on the reminders'
// own worker thread, one call at a time.
#include <vector>

#include "app/reminders/audio_input_process.h"

namespace talvo {

class AudioInputProcessSource {
 public:
  virtual ~AudioInputProcessSource() = default;
  // The whole list, or an exception when any part of it could not be read: a partial list
  // would look like a call that just ended.
  virtual std::vector<AudioInputProcess> snapshot() = 0;
  // False only when the list cannot differ from the last snapshot() that succeeded (the source
  // is told of every change); any thread.
  virtual bool mayHaveChanged() const { return true; }
};

}  // namespace talvo
