#pragma once
// A shared library opened on its first use instead of at the program's start. The loader maps
// every library a program links, and all they need, before main; a few of ours (HTTP, the
// keyring, release archives) drag in dozens more and are used only later, off the path to the
// first panel. Their functions are defined in the program under their own names and forward to
// the library (core/system/libcurl_on_demand.cpp and its kin), so callers use the library's API
// as documented.
#include <mutex>
#include <string>

namespace talvo {

class LazyLibrary {
 public:
  explicit LazyLibrary(const char* soname) noexcept : soname_(soname) {}
  LazyLibrary(const LazyLibrary&) = delete;
  LazyLibrary& operator=(const LazyLibrary&) = delete;

  // Opens the library now with every symbol resolved; the loader's message when it cannot (the
  // self-check refuses such a release before it replaces the installed one).
  std::string load();

  // The library's function `name`. A library or function that is missing ends the program with
  // the loader's message, as a missing library did at start when it was linked.
  template <class Function>
  Function function(const char* name) {
    return reinterpret_cast<Function>(address(name));
  }

 private:
  void* address(const char* name);

  const char* soname_;
  std::once_flag opened_;
  void* handle_ = nullptr;
  std::string failure_;
};

}  // namespace talvo

// The library's function `name`, as its header declares it, from `library()` (a LazyLibrary&):
#define TALVO_LAZY_FUNCTION(library, name) ::talvo::library().function<decltype(&::name)>(#name)

// Defines the library's function `name` in the program, forwarding to the library; inside
// extern "C", one per function the program calls:
//   TALVO_FORWARD(libarchive, int, archive_read_free, (archive * handle), (handle))
#define TALVO_FORWARD(library, result, name, parameters, arguments) \
  result name parameters {                                          \
    static const auto real = TALVO_LAZY_FUNCTION(library, name);    \
    return real arguments;                                          \
  }
