// Compact JSON text of an answer, written fast and without needless copies.
//
// The text is byte for byte what nlohmann's dump() writes with no options
// (compact, keys in stored order, "/" unescaped, control characters escaped,
// other characters as they are), but strings are copied in runs rather than
// escaped byte by byte, and a long string that needs no escaping is not
// copied at all: the text refers to it where it lies in the value. A string
// of bytes can also stand in the text as its Base64, made only as the text
// goes out: a snapshot's 24 MiB reach standard output as 32 MiB of Base64
// without those 32 MiB ever being held at once.
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

  // A stretch of the text: bytes that stand in it as they are, or bytes whose
  // Base64 stands there.
  struct Piece {
    std::string_view bytes;
    bool base64 = false;
  };

  // Has the string `value`, which lies inside the value written next, stand
  // in the text as the Base64 of its bytes (without quotes added or removed).
  // Nothing is encoded here: pieces() refers to the bytes, and whoever writes
  // the pieces out encodes them as it goes.
  void encodeAsBase64(const JSON& value) { base64_ = &value; }

  // Writes `value`. Returns false, like dump() would throw, when a string in
  // it is not valid UTF-8. `value` must stay alive and unchanged for as long
  // as the pieces or this object are used.
  bool write(const JSON& value);

  // The text in order: written runs interleaved with referenced strings.
  std::vector<Piece> pieces() const;
  // The text in one string (a copy only of what was referenced, and the
  // Base64 of what stands encoded).
  std::string join() &&;

 private:
  // A referenced string, which belongs in the text before text_[at].
  struct Reference {
    size_t at;
    Piece piece;
  };

  void writeValue(const JSON& value);
  void writeString(const std::string& text);

  std::string text_;
  std::vector<Reference> references_;
  const JSON* base64_ = nullptr;
  bool valid_ = true;
};

}  // namespace quillon
