// The published catalogue of the eight viewer tools: names, descriptions for
// the assistant, and input schemas.
//
// The schemas document the arguments; nothing checks calls against them. The
// viewer judges every value, and its refusals come back as tool results.
#pragma once

#include <string_view>

#include "json.hpp"

namespace quillon {

// The catalogue, an array of eight tool definitions in published order. Built
// on first call (thread-safe) and immutable afterwards; the reference stays
// valid until the process ends.
const JSON& quillonToolDefinitions();

// True when a definition's "name" equals `name` exactly (case-sensitive, no
// trimming).
bool isCataloguedTool(std::string_view name);

}  // namespace quillon
