#include "folder/request.h"

namespace vorn::folder {

Json make_refusal(std::string_view reason, std::optional<std::string_view> error) {
  Json refusal = Json::object();
  refusal["reachable"] = false;
  refusal["reason"] = std::string(reason);
  if (error) refusal["error"] = std::string(*error);
  return refusal;
}

}  // namespace vorn::folder
