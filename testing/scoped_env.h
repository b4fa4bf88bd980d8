#pragma once
// One environment variable set (or unset) for the life of the object, then put back as it was:
// tests that steer the code through the environment leave no trace for the next test, even
// when an assertion ends them early.
#include <optional>
#include <string>

namespace talvo::testing {

class ScopedEnv {
 public:
  // Keeps the variable as it is now, to be restored; change it with set().
  explicit ScopedEnv(std::string name);
  // Sets the variable to `value`, or unsets it for std::nullopt.
  ScopedEnv(std::string name, const std::optional<std::string>& value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

  // Sets or unsets the variable again; the value from before the object is still what returns.
  // Throws std::system_error when the environment refuses the change.
  void set(const std::optional<std::string>& value);

 private:
  std::string name_;
  std::optional<std::string> previous_;
};

}  // namespace talvo::testing
