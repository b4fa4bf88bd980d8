#include "core/system/lazy_library.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

namespace talvo {

std::string LazyLibrary::load() {
  std::call_once(opened_, [this] {
    // RTLD_NOW: a library whose own needs are missing fails here, whole, not at some later call.
    handle_ = dlopen(soname_, RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) failure_ = dlerror();
  });
  return failure_;
}

void* LazyLibrary::address(const char* name) {
  std::string failure = load();
  void* found = handle_ != nullptr ? dlsym(handle_, name) : nullptr;
  if (found == nullptr && failure.empty()) failure = std::string(soname_) + ": no function " + name;
  if (found != nullptr) return found;
  std::fprintf(stderr, "talvo: error while loading shared libraries: %s\n", failure.c_str());
  std::abort();
}

}  // namespace talvo
