#include "folder/serve.h"

namespace vorn::folder {

// The session is filled in once the frame codec is available.
int serve(std::string) { return EXIT_BAD_USAGE; }

}  // namespace vorn::folder
