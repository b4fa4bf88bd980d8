// The libcurl functions the program calls, each forwarding to libcurl once it is open. The
// variadic ones pass their one argument on by the type libcurl reads for that option.
#define CURL_DISABLE_TYPECHECK
#include "core/system/libcurl_on_demand.h"

#include <curl/curl.h>

#include <cstdarg>

namespace talvo {

LazyLibrary& libcurl() {
  static LazyLibrary library("libcurl.so.4");
  return library;
}

}  // namespace talvo

// The option and info enums are int-sized: starting the argument list after one is what
// libcurl's own definitions of these functions do (clang warns about any enum there).
#pragma GCC diagnostic ignored "-Wvarargs"

extern "C" {

TALVO_FORWARD(libcurl, CURLcode, curl_global_init, (long flags), (flags))

TALVO_FORWARD(libcurl, CURL*, curl_easy_init, (), ())

TALVO_FORWARD(libcurl, void, curl_easy_cleanup, (CURL * handle), (handle))

TALVO_FORWARD(libcurl, CURLcode, curl_easy_perform, (CURL * handle), (handle))

CURLcode curl_easy_setopt(CURL* handle, CURLoption option, ...) {
  static const auto real = TALVO_LAZY_FUNCTION(libcurl, curl_easy_setopt);
  va_list arguments;
  va_start(arguments, option);
  CURLcode result;
  if (option < CURLOPTTYPE_OBJECTPOINT) {
    result = real(handle, option, va_arg(arguments, long));
  } else if (option >= CURLOPTTYPE_OFF_T && option < CURLOPTTYPE_BLOB) {
    result = real(handle, option, va_arg(arguments, curl_off_t));
  } else {
    result = real(handle, option, va_arg(arguments, void*));  // objects, functions and blobs
  }
  va_end(arguments);
  return result;
}

CURLcode curl_easy_getinfo(CURL* handle, CURLINFO info, ...) {
  static const auto real = TALVO_LAZY_FUNCTION(libcurl, curl_easy_getinfo);
  va_list arguments;
  va_start(arguments, info);
  CURLcode result = real(handle, info, va_arg(arguments, void*));  // always where to put the answer
  va_end(arguments);
  return result;
}

TALVO_FORWARD(libcurl, CURLSH*, curl_share_init, (), ())

CURLSHcode curl_share_setopt(CURLSH* share, CURLSHoption option, ...) {
  static const auto real = TALVO_LAZY_FUNCTION(libcurl, curl_share_setopt);
  va_list arguments;
  va_start(arguments, option);
  CURLSHcode result;
  if (option == CURLSHOPT_SHARE || option == CURLSHOPT_UNSHARE) {
    result = real(share, option, va_arg(arguments, int));
  } else {
    result = real(share, option, va_arg(arguments, void*));  // the lock functions and their data
  }
  va_end(arguments);
  return result;
}

TALVO_FORWARD(libcurl, CURLSHcode, curl_share_cleanup, (CURLSH * share), (share))

TALVO_FORWARD(libcurl, curl_slist*, curl_slist_append, (curl_slist * list, const char* text), (list, text))

TALVO_FORWARD(libcurl, void, curl_slist_free_all, (curl_slist * list), (list))

TALVO_FORWARD(libcurl, CURLU*, curl_url, (), ())

TALVO_FORWARD(libcurl, void, curl_url_cleanup, (CURLU * handle), (handle))

TALVO_FORWARD(libcurl, CURLUcode, curl_url_set,
              (CURLU * handle, CURLUPart part, const char* content, unsigned int flags), (handle, part, content, flags))

TALVO_FORWARD(libcurl, CURLUcode, curl_url_get, (CURLU * handle, CURLUPart part, char** content, unsigned int flags),
              (handle, part, content, flags))

TALVO_FORWARD(libcurl, void, curl_free, (void* pointer), (pointer))

}  // extern "C"
