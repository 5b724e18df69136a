// Write path: whole-or-nothing writes through a temporary file beside the
// target, and the sweep of temporary files that an interrupted write left.

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "folder/ops.h"
#include "frame/random.h"

namespace vorn::folder {

namespace {

constexpr std::string_view kTempSuffix = ".tmp";
constexpr size_t kTokenDigits = 16;
// Largest single write. Handing the kernel a whole payload (up to 32 MiB) in
// one write measured markedly slower and less steady on a loaded machine than
// writing it in pieces of this size.
constexpr size_t kWriteChunk = 128 * 1024;

Json refusal(std::string_view error) { return make_refusal("io-error", error); }

// What a write appends to its target's name: "." + 16 characters of 0-9a-f +
// ".tmp".
constexpr size_t kTempTail = 1 + kTokenDigits + kTempSuffix.size();

bool is_temp_tail(std::string_view tail) {
  if (tail.size() != kTempTail || tail[0] != '.' || !tail.ends_with(kTempSuffix)) return false;
  for (char c : tail.substr(1, kTokenDigits)) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

// Whether the raw entry name `raw` is a temporary file of `name`. Names are
// compared as text (ill-formed bytes read as U+FFFD); the tail is ASCII and
// reads the same either way, so only the part before it may need converting.
bool is_temp_of(std::string_view raw, std::string_view name) {
  if (raw.size() < kTempTail || !is_temp_tail(raw.substr(raw.size() - kTempTail))) return false;
  std::string_view head = raw.substr(0, raw.size() - kTempTail);
  return head == name || lossy_utf8(head) == name;
}

}  // namespace

Result<std::string> random_token() {
  std::uint8_t bytes[kTokenDigits / 2];
  // The error carries no number on purpose: whatever went wrong, the write
  // answers "UnknownError".
  if (!fill_random(bytes)) return fail(ErrorKind::kOther, "no random bytes");
  return to_hex(std::span<const std::uint8_t>(bytes));
}

Status write_and_close(UniqueFd fd, std::string_view bytes) {
  Status result;
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd.get(), bytes.data() + done, std::min(bytes.size() - done, kWriteChunk));
    if (n < 0) {
      int saved = errno;
      if (saved == EINTR) continue;
      result = fail_errno(saved);
      break;
    }
    if (n == 0) {
      result = fail(ErrorKind::kWriteZero, "failed to write whole buffer");
      break;
    }
    done += static_cast<size_t>(n);
  }
  fd.reset();  // the result of the close is not looked at
  return result;
}

bool temp_file_is_stale(const timespec& mtime, const timespec& now) {
  if (mtime.tv_sec > now.tv_sec || (mtime.tv_sec == now.tv_sec && mtime.tv_nsec > now.tv_nsec)) {
    return false;  // from the future: not ours to judge
  }
  int64_t age_sec = now.tv_sec - mtime.tv_sec;
  int64_t age_nsec = now.tv_nsec - mtime.tv_nsec;
  if (age_nsec < 0) {
    age_nsec += 1'000'000'000;
    age_sec -= 1;
  }
  return age_sec > STALE_TEMP_SECONDS || (age_sec == STALE_TEMP_SECONDS && age_nsec > 0);
}

void sweep_temp_files(int dir, std::string_view name) {
  // Every write sweeps, and a directory being filled by writeFiles grows with
  // each one, so the other entries cost a byte comparison and no allocation.
  Result<UniqueFd> readable = reopen_for_listing(dir);
  if (!readable) return;
  std::vector<std::string> candidates;
  Status listed = for_each_entry(readable->get(), [&](std::string_view raw) {
    if (is_temp_of(raw, name)) candidates.emplace_back(raw);
  });
  if (!listed) return;
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  for (const std::string& raw : candidates) {
    Result<std::optional<struct stat>> status = symlink_status(dir, raw);
    if (!status || !*status) continue;
    const struct stat& st = **status;
    if (S_ISREG(st.st_mode) && temp_file_is_stale(st.st_mtim, now)) (void)unlinkat(dir, raw.c_str(), 0);
  }
}

std::string temp_name(std::string_view name, std::string_view token) {
  std::string temp(name);
  temp += '.';
  temp += token;
  temp += kTempSuffix;
  return temp;
}

OpResult write_file(int root_fd, std::string_view path, std::string_view payload) {
  Target target(root_fd, path);
  if (Stop stop = target.walk_parents()) return *stop;
  if (payload.size() > WRITE_LIMIT) return refusal("TooLarge");
  if (Stop stop = target.make_parents()) return *stop;
  if (Stop stop = target.probe()) return *stop;
  const std::optional<struct stat>& existing = target.status();
  if (existing && S_ISDIR(existing->st_mode)) return refusal("IsDirectory");

  Result<std::string> token = random_token();
  if (!token) return std::unexpected(dom_error_name(token.error()));
  int parent = target.dir();
  const std::string& name = target.name();
  std::string temp = temp_name(name, *token);
  // A replaced file keeps who may read it. Its temporary file is born open to
  // its owner alone and gets the kept bits only once it exists: anyone else
  // could otherwise open it in between and read, through that descriptor,
  // what is written into a private file. A new file, also one that takes the
  // place of anything but a regular file, follows the umask from the start.
  bool keeps_mode = existing && S_ISREG(existing->st_mode);
  mode_t created = keeps_mode ? 0600 : 0666;
  UniqueFd fd(openat(parent, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, created));
  // A failed create-new made nothing; the path, should it exist, is not ours.
  if (!fd) return std::unexpected(dom_error_name(Error::from_errno(errno)));
  // File systems without modes refuse the change, and their files have no
  // bits to keep.
  if (keeps_mode) (void)fchmod(fd.get(), existing->st_mode & 0777);
  Status written = write_and_close(std::move(fd), payload);
  if (written && renameat(parent, temp.c_str(), parent, name.c_str()) != 0) written = fail_errno(errno);
  if (!written) {
    (void)unlinkat(parent, temp.c_str(), 0);
    return std::unexpected(dom_error_name(written.error()));
  }
  sweep_temp_files(parent, name);
  return Json{{"reachable", true}};
}

}  // namespace vorn::folder
