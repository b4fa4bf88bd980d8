#include "autostart/login_startup_policy.h"

#include <exception>

#include "core/system/log_sink.h"
#include "core/program/native_product.h"

namespace talvo::LoginStartupPolicy {

std::string installedPath() {
  try {
    return programDataDirectory() + "app/bin/talvo";
  } catch (const std::exception&) {  // no data directory: nothing can be installed
    logSwallowed(log_category::reminders, "no program data directory", "no installed program to start at login");
    return {};
  }
}

bool eligible(const std::optional<std::string>& applicationId, const std::string& path,
              const std::string& canonicalPath, bool production) {
  // Both sides as the kernel spells them: a home reached through a symbolic link is the same home.
  return production && applicationId && *applicationId == NativeProduct::applicationId && path == canonicalPath &&
         !canonicalPath.empty() && canonicalPath == canonicalInstalledProgram();
}

LoginStartupCommand bootstrap(bool eligible, LoginStartupStatus status, LoginStartupState& state) {
  if (!eligible || state.initialized) return LoginStartupCommand::none;
  switch (status) {
    case LoginStartupStatus::notRegistered:
      state = {true, true};
      return LoginStartupCommand::registerItem;
    case LoginStartupStatus::enabled:
      state = {true, true};
      return LoginStartupCommand::none;
    case LoginStartupStatus::requiresApproval:
    case LoginStartupStatus::notFound:
      state = {true, false};
      return LoginStartupCommand::none;
  }
  return LoginStartupCommand::none;
}

LoginStartupCommand toggle(bool on, bool eligible, LoginStartupStatus status, LoginStartupState& state) {
  if (!eligible) return LoginStartupCommand::none;
  state = {true, on};
  const bool registered = status == LoginStartupStatus::enabled || status == LoginStartupStatus::requiresApproval;
  if (on) return registered ? LoginStartupCommand::none : LoginStartupCommand::registerItem;
  return registered ? LoginStartupCommand::unregisterItem : LoginStartupCommand::none;
}

}  // namespace talvo::LoginStartupPolicy
