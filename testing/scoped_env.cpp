#include "testing/scoped_env.h"

#include <cerrno>
#include <cstdlib>
#include <system_error>

namespace talvo::testing {

ScopedEnv::ScopedEnv(std::string name) : name_(std::move(name)) {
  if (const char* value = std::getenv(name_.c_str())) previous_ = value;
}

ScopedEnv::ScopedEnv(std::string name, const std::optional<std::string>& value) : ScopedEnv(std::move(name)) {
  set(value);
}

ScopedEnv::~ScopedEnv() {
  if (previous_)
    ::setenv(name_.c_str(), previous_->c_str(), 1);
  else
    ::unsetenv(name_.c_str());
}

void ScopedEnv::set(const std::optional<std::string>& value) {
  const int result = value ? ::setenv(name_.c_str(), value->c_str(), 1) : ::unsetenv(name_.c_str());
  if (result != 0) throw std::system_error(errno, std::generic_category(), "cannot change " + name_);
}

}  // namespace talvo::testing
