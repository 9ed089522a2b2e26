#include "json_reader.hpp"

#include <cstdint>
#include <exception>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace quillon {

namespace {

// The members of an object, as a plain vector: the ordered map's own
// subscript and insertion search by key.
using Members = JSON::object_t::Container;

// Objects up to this size look for a repeated key by scanning their members;
// beyond it a hash index is built. Almost every object a client sends stays
// below it and never pays for the index.
constexpr size_t kScanLimit = 16;

// Deeper values are refused as they open, so that no line can exhaust the
// stack of the recursive code that later walks a value (the writer, copies).
constexpr size_t kMaxDepth = 512;

// Open-addressing set of member positions, hashed by their keys. It stores
// positions rather than keys because the members vector moves its strings
// when it grows. Four bytes a slot keep the index of a huge object small.
class KeyIndex {
 public:
  // Indexes the members of `object`, whose keys are all distinct.
  explicit KeyIndex(const Members& object) : object_(object) {
    size_t size = 64;
    while (size < object.size() * 4) size *= 2;
    rebuild(size, object.size());
  }

  // The position of the earlier member named like the last one, or the last
  // one's own position, now recorded, when its key is new. Every member but
  // the last is recorded already.
  size_t findOrAdd() {
    const size_t candidate = count_;
    if ((count_ + 1) * 2 > slots_.size()) rebuild(slots_.size() * 2, count_);
    const std::string& key = object_[candidate].first;
    for (size_t slot = hash(key) & mask();; slot = (slot + 1) & mask()) {
      if (slots_[slot] == kEmpty) {
        slots_[slot] = static_cast<uint32_t>(candidate);
        ++count_;
        return candidate;
      }
      if (object_[slots_[slot]].first == key) return slots_[slot];
    }
  }

 private:
  static constexpr uint32_t kEmpty = std::numeric_limits<uint32_t>::max();

  static size_t hash(const std::string& key) { return std::hash<std::string>{}(key); }
  size_t mask() const { return slots_.size() - 1; }

  // Resizes to `size` slots (a power of two) holding the first `members`.
  void rebuild(size_t size, size_t members) {
    slots_.assign(size, kEmpty);
    for (size_t i = 0; i < members; ++i) {
      size_t slot = hash(object_[i].first) & mask();
      while (slots_[slot] != kEmpty) slot = (slot + 1) & mask();
      slots_[slot] = static_cast<uint32_t>(i);
    }
    count_ = members;
  }

  const Members& object_;
  std::vector<uint32_t> slots_;
  size_t count_ = 0;  // members recorded: always the first count_ of the object
};

// Builds the value from the parser's events, like the library's own builder
// but without its per-key search. A false return stops the parse.
class Builder {
 public:
  JSON root;

  bool null() { return put(JSON(nullptr)); }
  bool boolean(bool value) { return put(JSON(value)); }
  bool number_integer(JSON::number_integer_t value) { return put(JSON(value)); }
  bool number_unsigned(JSON::number_unsigned_t value) { return put(JSON(value)); }
  bool number_float(JSON::number_float_t value, const std::string&) { return put(JSON(value)); }
  bool string(std::string& value) { return put(JSON(std::move(value))); }
  bool binary(JSON::binary_t&) { return false; }  // never produced for JSON text

  bool start_object(size_t) { return open(JSON::value_t::object); }
  bool start_array(size_t) { return open(JSON::value_t::array); }
  bool end_object() { return close(); }
  bool end_array() { return close(); }

  bool key(std::string& name) {
    Frame& frame = stack_.back();
    Members& object = *frame.container->get_ptr<JSON::object_t*>();
    // Positions are held in four bytes; no line that fits in memory comes near.
    if (object.size() >= std::numeric_limits<uint32_t>::max() - 1) return false;
    if (!frame.index && object.size() >= kScanLimit)
      frame.index = std::make_unique<KeyIndex>(object);
    object.emplace_back(std::move(name), nullptr);
    size_t position = object.size() - 1;
    if (frame.index) {
      position = frame.index->findOrAdd();
    } else {
      for (size_t i = 0; i + 1 < object.size(); ++i) {
        if (object[i].first == object.back().first) {
          position = i;
          break;
        }
      }
    }
    if (position + 1 != object.size()) object.pop_back();  // a repeated key: refill its slot
    frame.slot = &object[position].second;
    return true;
  }

  bool parse_error(size_t, const std::string&, const nlohmann::detail::exception&) { return false; }

 private:
  struct Frame {
    JSON* container;
    JSON* slot = nullptr;  // member awaiting its value, in an object
    std::unique_ptr<KeyIndex> index;
  };

  // Stores a finished value where it belongs and returns its new home.
  JSON* place(JSON&& value) {
    if (stack_.empty()) {
      root = std::move(value);
      return &root;
    }
    Frame& frame = stack_.back();
    if (frame.container->is_array()) {
      auto& array = *frame.container->get_ptr<JSON::array_t*>();
      array.push_back(std::move(value));
      return &array.back();
    }
    *frame.slot = std::move(value);
    return frame.slot;
  }

  bool put(JSON&& value) {
    place(std::move(value));
    return true;
  }

  bool open(JSON::value_t type) {
    if (stack_.size() >= kMaxDepth) return false;
    stack_.push_back(Frame{place(JSON(type)), nullptr, nullptr});
    return true;
  }

  bool close() {
    stack_.pop_back();
    return true;
  }

  std::vector<Frame> stack_;
};

}  // namespace

JSON readJSON(std::string_view text) {
  // The library's lexer takes a NUL byte for the end of the text, so
  // "{...}\0junk" would pass. JSON text never holds a raw NUL: inside a string
  // it must be escaped, and outside one it is no token and no white space.
  if (text.find('\0') != std::string_view::npos) return JSON(JSON::value_t::discarded);
  try {
    Builder builder;
    if (!JSON::sax_parse(text, &builder)) return JSON(JSON::value_t::discarded);
    return std::move(builder.root);
  } catch (const std::exception&) {
    return JSON(JSON::value_t::discarded);
  }
}

}  // namespace quillon
