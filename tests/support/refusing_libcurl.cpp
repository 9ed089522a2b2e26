// Loaded ahead of libcurl into the built quillon-mcp (LD_PRELOAD on Linux,
// DYLD_INSERT_LIBRARIES on macOS), it makes curl_easy_setopt refuse
// CURLOPT_PROTOCOLS_STR as the libcurl of macOS 12 and 13 does (7.77 to 7.84:
// the option is newer), and passes every other option on unchanged. Each
// refusal is appended to the file that QUILLON_REFUSED_LOG names, so that a
// test can tell that the refusal really happened.
#define CURL_DISABLE_TYPECHECK
#include <curl/curl.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#if defined(__linux__)
#include <dlfcn.h>
#endif

// curl.h declares the option an enum, which clang's -Wvarargs flags as the
// last named argument. An enum of int's size is passed as it is, and libcurl's
// own definition reads its arguments after it the same way.
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wvarargs"
#endif

namespace {

using Setopt = CURLcode (*)(CURL*, CURLoption, ...);

// curl_easy_setopt reads its one argument by the option's type range.
CURLcode forward(Setopt real, CURL* handle, CURLoption option, va_list arguments) {
  if (option < CURLOPTTYPE_OBJECTPOINT) return real(handle, option, va_arg(arguments, long));
  if (option < CURLOPTTYPE_FUNCTIONPOINT || option >= CURLOPTTYPE_BLOB) {
    return real(handle, option, va_arg(arguments, void*));
  }
  if (option < CURLOPTTYPE_OFF_T) return real(handle, option, va_arg(arguments, void (*)()));
  return real(handle, option, va_arg(arguments, curl_off_t));
}

}  // namespace

// On Linux the program's calls reach this definition first, and the real one
// is the next in line. On macOS dyld binds the program's calls to the
// replacement that the interpose section names; calls from here still reach
// libcurl's own function.
#if defined(__linux__)
#define QUILLON_REPLACEMENT curl_easy_setopt
#else
#define QUILLON_REPLACEMENT quillonRefusingSetopt
#endif
extern "C" CURLcode QUILLON_REPLACEMENT(CURL* handle, CURLoption option, ...) {
  if (static_cast<int>(option) == 10000 + 318) {  // CURLOPT_PROTOCOLS_STR
    const char* path = std::getenv("QUILLON_REFUSED_LOG");
    if (FILE* log = path ? std::fopen(path, "a") : nullptr) {
      std::fputs("CURLOPT_PROTOCOLS_STR refused\n", log);
      std::fclose(log);
    }
    return CURLE_UNKNOWN_OPTION;
  }
#if defined(__linux__)
  static const auto real = reinterpret_cast<Setopt>(dlsym(RTLD_NEXT, "curl_easy_setopt"));
#else
  const Setopt real = &curl_easy_setopt;
#endif
  va_list arguments;
  va_start(arguments, option);
  const CURLcode code = forward(real, handle, option, arguments);
  va_end(arguments);
  return code;
}

#if defined(__APPLE__)
__attribute__((used, section("__DATA,__interpose"))) static const struct {
  const void* replacement;
  const void* replaced;
} kInterpose = {reinterpret_cast<const void*>(&quillonRefusingSetopt),
                reinterpret_cast<const void*>(&curl_easy_setopt)};
#endif
