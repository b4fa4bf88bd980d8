// URLs as libcurl reads them: an address that parses writes back to a text that parses to the
// same components, and refused characters never get through.
#include "core/values/url.h"
#include "fuzz/fuzz_support.h"

using namespace talvo;

TALVO_FUZZ(data) {
  const auto input = fuzz::text(data, size);
  const auto url = Url::parse(input);
  if (!url) return 0;
  for (unsigned char c : input) fuzz::require(c > 0x20 && c != 0x7f, "space or control character accepted");
  const auto again = Url::parse(url->text());
  fuzz::require(again.has_value(), "written address does not parse");
  fuzz::require(again->text() == url->text(), "written address not stable");
  fuzz::require(again->scheme() == url->scheme() && again->host() == url->host() && again->port() == url->port() &&
                    again->user() == url->user() && again->password() == url->password(),
                "components changed by writing the address");
  return 0;
}
