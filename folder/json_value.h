// The JSON value type as the folder service sees it.
#pragma once

#include <nlohmann/json.hpp>

namespace vorn {
using Json = nlohmann::json;
}  // namespace vorn
