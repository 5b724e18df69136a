// Write path: whole-or-nothing writes through a temporary file beside the
// target, and the sweep of temporary files that an interrupted write left.

#include <dirent.h>
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

// Paths of the entries of `directory` that are temporary files of `name`, or
// nothing when the directory cannot be read to its end. Every write sweeps,
// and a directory being filled by writeFiles grows with each one, so the other
// entries cost a byte comparison and no allocation.
std::optional<std::vector<std::string>> temp_candidates(const std::string& directory,
                                                        std::string_view name) {
  DIR* dir = opendir(directory.c_str());
  if (dir == nullptr) return std::nullopt;
  std::vector<std::string> paths;
  bool failed = false;
  while (true) {
    errno = 0;
    struct dirent* entry = readdir(dir);
    if (entry == nullptr) {
      failed = errno != 0;
      break;
    }
    if (!is_temp_of(entry->d_name, name)) continue;
    std::string path = directory;
    append_component(path, entry->d_name);
    paths.push_back(std::move(path));
  }
  closedir(dir);
  if (failed) return std::nullopt;
  return paths;
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

void sweep_temp_files(const std::string& directory, std::string_view name) {
  std::optional<std::vector<std::string>> candidates = temp_candidates(directory, name);
  if (!candidates) return;
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  for (const std::string& path : *candidates) {
    Result<bool> is_link = symlink_status(path);
    if (!is_link || *is_link) continue;
    struct stat st;
    if (stat(path.c_str(), &st) != 0) continue;
    bool stale = temp_file_is_stale(st.st_mtim, now);
    if (stale && S_ISREG(st.st_mode)) (void)unlink(path.c_str());
  }
}

OpResult write_file(std::string_view root, SymlinkProbe probe, std::string_view path,
                    std::string_view payload) {
  std::vector<std::string_view> components = split_components(path);
  std::vector<std::string_view> parents(components.begin(), components.end() - 1);
  std::string_view name = components.back();

  auto walk_parents = [&]() -> std::optional<OpResult> {
    Result<bool> found = symlink_walk(probe, root, parents);
    if (!found) return std::unexpected(dom_error_name(found.error()));
    if (*found) return refusal("Symlink");
    return std::nullopt;
  };

  if (auto stop = walk_parents()) return *stop;
  if (payload.size() > WRITE_LIMIT) return refusal("TooLarge");

  std::string parent = join_components(root, parents);
  if (Status made = make_dirs(parent); !made) return std::unexpected(dom_error_name(made.error()));
  // Links made while the parents were being created.
  if (auto stop = walk_parents()) return *stop;

  std::string target = parent;
  append_component(target, name);
  Result<bool> target_is_link = probe(target);
  if (!target_is_link) return std::unexpected(dom_error_name(target_is_link.error()));
  if (*target_is_link) return refusal("Symlink");
  struct stat st;
  if (stat(target.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return refusal("IsDirectory");

  Result<std::string> token = random_token();
  if (!token) return std::unexpected(dom_error_name(token.error()));
  std::string temp = parent;
  append_component(temp, std::string(name) + "." + *token + std::string(kTempSuffix));

  UniqueFd fd(open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
  // A failed create-new made nothing; the path, should it exist, is not ours.
  if (!fd) return std::unexpected(dom_error_name(Error::from_errno(errno)));
  Status written = write_and_close(std::move(fd), payload);
  if (written && rename(temp.c_str(), target.c_str()) != 0) written = fail_errno(errno);
  if (!written) {
    (void)unlink(temp.c_str());
    return std::unexpected(dom_error_name(written.error()));
  }
  sweep_temp_files(parent, name);
  return Json{{"reachable", true}};
}

}  // namespace vorn::folder
