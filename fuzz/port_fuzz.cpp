// The viewer address from QUILLON_API_PORT, against a plain reading of the
// rule: optional sign, one or more ASCII digits, nothing else, within a signed
// 64-bit integer; anything else means 17950.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "check.hpp"
#include "proxy.hpp"

namespace {

std::optional<int64_t> referencePort(std::string_view value) {
  bool negative = false;
  if (!value.empty() && (value.front() == '+' || value.front() == '-')) {
    negative = value.front() == '-';
    value.remove_prefix(1);
  }
  if (value.empty()) return std::nullopt;
  __int128 magnitude = 0;
  for (const char c : value) {
    if (c < '0' || c > '9') return std::nullopt;
    magnitude = magnitude * 10 + (c - '0');
    if (magnitude > (static_cast<__int128>(1) << 64)) return std::nullopt;  // far out already
  }
  const __int128 port = negative ? -magnitude : magnitude;
  if (port > INT64_MAX || port < INT64_MIN) return std::nullopt;
  return static_cast<int64_t>(port);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string value(reinterpret_cast<const char*>(data), size);
  const std::string expected =
      "http://127.0.0.1:" + std::to_string(referencePort(value).value_or(17950));
  FUZZ_CHECK(quillon::apiBaseURL({{"QUILLON_API_PORT", value}}) == expected);
  // Only the exact name counts.
  FUZZ_CHECK(quillon::apiBaseURL({{"quillon_api_port", value}, {"QUILLON_API_PORT ", value}}) ==
             "http://127.0.0.1:17950");
  return 0;
}
