// Parsing of untrusted JSON text into the ordered values the server works on.
//
// The library's own parser fills an ordered object through a linear key search
// for every member, so a line holding an object with a million distinct keys
// would take hours. This reader appends members instead, and detects repeated
// keys through a hash index once an object grows large.
#pragma once

#include <string_view>

#include "json.hpp"

namespace quillon {

// Parses `text` as one standard JSON value: no comments, and nothing after
// it, not even a NUL byte. Returns a discarded value when the text is not
// valid JSON, nests deeper than 512 arrays and objects, holds a number that
// overflows a double, or cannot be held in memory. Members keep the order of
// their first appearance; a repeated key keeps its first position and takes
// the last value given.
JSON readJSON(std::string_view text);

}  // namespace quillon
