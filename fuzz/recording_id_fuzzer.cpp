// Recording ids name files, so nothing but the exact lower-case version-4 form may pass.
#include "core/values/recording_id.h"
#include "fuzz/fuzz_support.h"

using namespace talvo;

namespace {

// The rule written out independently of the decoder under test.
bool expected(std::string_view text) {
  if (text.size() != 36) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (c != '-') return false;
    } else if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
      return false;
    }
  }
  return text[14] == '4' && std::string_view("89ab").find(text[19]) != std::string_view::npos;
}

}  // namespace

TALVO_FUZZ(data) {
  const auto input = fuzz::text(data, size);
  fuzz::require(isRecordingId(input) == expected(input), "recording id rule");
  return 0;
}
