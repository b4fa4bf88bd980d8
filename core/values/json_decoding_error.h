#pragma once
// A reply or stored document that does not have the expected form.
#include <stdexcept>

namespace talvo {

class JsonDecodingError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace talvo
