// Loaded ahead of libcurl into the built quillon-mcp (LD_PRELOAD on Linux,
// DYLD_INSERT_LIBRARIES on macOS), it records which protocol restriction the
// transport sets on each handle, to what, and what the loaded libcurl
// answered, so that a test can check the restriction instead of trusting it.
//
// Each record is one line appended to the file that QUILLON_LIBCURL_LOG names:
// first "libcurl VERSION" (the library actually loaded, by its own account),
// then "OPTION VALUE: RESULT" per call, RESULT being libcurl's code. With
// QUILLON_REFUSE_PROTOCOLS_STR=1 it answers CURLOPT_PROTOCOLS_STR itself as
// the libcurl of macOS 12 and 13 does (7.77 to 7.84, where the option is
// newer), with CURLE_UNKNOWN_OPTION, and records "refused" as its result.
// Every other option passes on unchanged.
#define CURL_DISABLE_TYPECHECK
#include <curl/curl.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

// Options by number: the headers of a build may lack the newer one.
constexpr int kProtocols = 181;             // CURLOPTTYPE_LONG + 181
constexpr int kProtocolsStr = 10000 + 318;  // CURLOPTTYPE_STRINGPOINT + 318

void record(const char* format, ...) {
  const char* path = std::getenv("QUILLON_LIBCURL_LOG");
  FILE* log = path ? std::fopen(path, "a") : nullptr;
  if (!log) return;
  static bool versionRecorded = false;
  if (!versionRecorded) {
    versionRecorded = true;
    std::fprintf(log, "libcurl %s\n", curl_version_info(CURLVERSION_NOW)->version);
  }
  va_list arguments;
  va_start(arguments, format);
  std::vfprintf(log, format, arguments);
  va_end(arguments);
  std::fclose(log);
}

// curl_easy_setopt reads its one argument by the option's type range.
CURLcode forward(Setopt real, CURL* handle, CURLoption option, va_list arguments) {
  if (option < CURLOPTTYPE_OBJECTPOINT) {
    const long value = va_arg(arguments, long);
    const CURLcode code = real(handle, option, value);
    if (option == kProtocols) record("CURLOPT_PROTOCOLS %ld: %d\n", value, code);
    return code;
  }
  if (option < CURLOPTTYPE_FUNCTIONPOINT || option >= CURLOPTTYPE_BLOB) {
    void* const value = va_arg(arguments, void*);
    if (option != kProtocolsStr) return real(handle, option, value);
    const char* text = static_cast<const char*>(value);
    const char* refuse = std::getenv("QUILLON_REFUSE_PROTOCOLS_STR");
    if (refuse && std::strcmp(refuse, "1") == 0) {
      record("CURLOPT_PROTOCOLS_STR %s: refused\n", text ? text : "(null)");
      return CURLE_UNKNOWN_OPTION;
    }
    const CURLcode code = real(handle, option, value);
    record("CURLOPT_PROTOCOLS_STR %s: %d\n", text ? text : "(null)", code);
    return code;
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
#define QUILLON_REPLACEMENT quillonRecordingSetopt
#endif
extern "C" CURLcode QUILLON_REPLACEMENT(CURL* handle, CURLoption option, ...) {
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
} kInterpose = {reinterpret_cast<const void*>(&quillonRecordingSetopt),
                reinterpret_cast<const void*>(&curl_easy_setopt)};
#endif
