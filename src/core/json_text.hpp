// Compact JSON text of an answer, written fast and without needless copies.
//
// The text is byte for byte what nlohmann's dump() writes with no options
// (compact, keys in stored order, "/" unescaped, control characters escaped,
// other characters as they are), but strings are copied in runs rather than
// escaped byte by byte, and a long string that needs no escaping is not
// copied at all: the text refers to it where it lies in the value. A 32 MiB
// Base64 image can thus reach standard output with one gathered write,
// without ever being duplicated.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "json.hpp"

namespace quillon {

class JSONText {
 public:
  // Strings at least this long that need no escaping are referred to, not
  // copied.
  static constexpr size_t kReferenceThreshold = 64 * 1024;

  // Declares that the string `value`, which lies inside the value written
  // next, needs no escaping: a snapshot's Base64, which the server made
  // itself, and whose 32 MiB would otherwise be scanned for characters that
  // Base64 never holds. It is written as it is, unchecked.
  void writeAsIs(const JSON& value) { asIs_ = &value; }

  // Writes `value`. Returns false, like dump() would throw, when a string in
  // it is not valid UTF-8. `value` must stay alive and unchanged for as long
  // as the pieces or this object are used.
  bool write(const JSON& value);

  // The text in order: written runs interleaved with referenced strings.
  std::vector<std::string_view> pieces() const;
  // The text in one string (a copy only of what was referenced).
  std::string join() &&;

 private:
  // A referenced string, which belongs in the text before text_[at].
  struct Reference {
    size_t at;
    std::string_view text;
  };

  void writeValue(const JSON& value);
  void writeString(const std::string& text, bool asIs);

  std::string text_;
  std::vector<Reference> references_;
  const JSON* asIs_ = nullptr;
  bool valid_ = true;
};

}  // namespace quillon
