// The JSON value every part of the server works on: requests, the catalogue,
// tool results and answers. Ordered, so that members keep the order in which
// they were read or built, which is the order they are written in.
#pragma once

#include <nlohmann/json.hpp>

namespace quillon {

using JSON = nlohmann::ordered_json;

}  // namespace quillon
