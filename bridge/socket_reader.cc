#include "bridge/stdin.h"
#include "frame/frame.h"
#include "frame/unique_fd.h"

namespace vorn {

void socket_reader(int fd, std::uint64_t generation, EventSender events) {
  const UniqueFd own(fd);
  const ByteSource source = socket_source(fd);
  for (;;) {
    Result<std::optional<Json>> frame = read_frame(source);
    if (!frame) {
      (void)events.send(ConnectionClosed{generation, std::move(frame.error())});
      return;
    }
    if (!*frame) {
      (void)events.send(ConnectionClosed{generation, std::nullopt});
      return;
    }
    if (!events.send(BrowserFrame{generation, std::move(**frame)})) return;
  }
}

}  // namespace vorn
