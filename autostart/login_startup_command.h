#pragma once
// What the login-startup policy asks the platform to do.
namespace talvo {

// ("register" is a reserved word in C++, hence the longer names.)
enum class LoginStartupCommand { none, registerItem, unregisterItem };

}  // namespace talvo
