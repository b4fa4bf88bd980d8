// Internet date-times: strict reading in both modes; a time that was read formats to a text
// that reads back to the same instant.
#include "core/values/internet_date_time.h"
#include "fuzz/fuzz_support.h"

using namespace talvo;

namespace {

void roundTrip(const std::optional<WallTime>& time) {
  if (!time) return;
  // Our own format has whole seconds only.
  const auto whole = std::chrono::floor<std::chrono::seconds>(*time);
  const std::string written = formatInternetDateTime(whole);
  const auto again = parseInternetDateTime(written, FractionalSeconds::absent);
  fuzz::require(again.has_value(), "formatted date-time does not read back");
  fuzz::require(*again == whole, "date-time round trip changed the instant");
}

}  // namespace

TALVO_FUZZ(data) {
  const auto input = fuzz::text(data, size);
  const auto withFraction = parseInternetDateTime(input, FractionalSeconds::required);
  const auto without = parseInternetDateTime(input, FractionalSeconds::absent);
  fuzz::require(!(withFraction && without), "a text read in both modes");
  fuzz::require(parseInternetDateTimeEither(input) == (withFraction ? withFraction : without), "either mode");
  roundTrip(withFraction);
  roundTrip(without);
  return 0;
}
