// What the folder service's session lends to each request. Kept apart from
// the session itself so that the request handling below it needs nothing of
// the session but this.
#pragma once

#include <string>

namespace vorn::folder {

// Read-only for the request handling.
struct ServeContext {
  std::string request_dir;  // raw bytes, absolute; need not exist
};

}  // namespace vorn::folder
