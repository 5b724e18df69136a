#include "bridge/update.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "bridge/bridge.h"
#include "bridge/discovery.h"
#include "bridge/stdin.h"
#include "frame/file.h"
#include "frame/json.h"
#include "frame/unique_fd.h"

extern char** environ;

namespace vorn {
namespace {

constexpr std::string_view kVersionPrefix = "vorn-mcp ";

// A build answers --version with one short line; a program that keeps
// writing (or leaves a child that does) is read no further than this.
constexpr std::size_t kVersionOutputLimit = 4096;

// Linux caps a program's argument and environment strings together at a
// quarter of the stack limit and never above 6 MiB (three quarters of the
// 8 MiB default stack), so 8 MiB holds any command line the kernel accepts.
constexpr std::size_t kCommandLineLimit = 8 << 20;

// Characters with the Unicode White_Space property.
bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

// Drops trailing white space from valid UTF-8 text.
void trim_end(std::string& text) {
  while (!text.empty()) {
    size_t start = text.size() - 1;
    while (start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
    const auto lead = static_cast<unsigned char>(text[start]);
    char32_t c;
    if (lead < 0x80) {
      c = lead;
    } else {
      const size_t length = text.size() - start;
      c = lead & (length == 2 ? 0x1F : length == 3 ? 0x0F : 0x07);
      for (size_t i = start + 1; i < text.size(); ++i)
        c = (c << 6) | (static_cast<unsigned char>(text[i]) & 0x3F);
    }
    if (!is_white_space(c)) return;
    text.resize(start);
  }
}

// posix_spawn's file actions, destroyed on every path.
class FileActions {
 public:
  FileActions() { ok_ = posix_spawn_file_actions_init(&actions_) == 0; }
  FileActions(const FileActions&) = delete;
  FileActions& operator=(const FileActions&) = delete;
  ~FileActions() {
    if (ok_) posix_spawn_file_actions_destroy(&actions_);
  }
  bool ok() const { return ok_; }
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
  bool ok_ = false;
};

void kill_and_reap(pid_t pid) {
  ::kill(pid, SIGKILL);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

// Everything the exited child left in the pipe. The read end is non-blocking
// so that a grandchild still holding the write end cannot stall the loop, and
// the bound keeps one that writes without end from holding it.
Result<std::string> drain_pipe(int fd) {
  std::string out;
  char buffer[kVersionOutputLimit + 1];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer - out.size());
    if (n > 0) {
      out.append(buffer, static_cast<size_t>(n));
      if (out.size() > kVersionOutputLimit) {
        return fail(ErrorKind::kInvalidData, "the version answer is too long");
      }
    } else if (n == 0) {
      return out;
    } else if (errno == EINTR) {
      continue;
    } else if (errno == EAGAIN) {
      return out;
    } else {
      return fail_errno(errno);
    }
  }
}

// The bridge's own arguments after the program name, as raw bytes. Not
// being able to read them is an error: the successor would otherwise start
// without them, on another profile.
Result<std::vector<std::string>> own_arguments() {
  std::vector<std::string> args;
  const std::string all = TRY(read_whole_file("/proc/self/cmdline", kCommandLineLimit));
  size_t start = 0;
  while (start < all.size()) {
    size_t end = all.find('\0', start);
    if (end == std::string::npos) end = all.size();
    args.push_back(all.substr(start, end - start));
    start = end + 1;
  }
  if (!args.empty()) args.erase(args.begin());
  return args;
}

bool valid_utf8(std::string_view text) { return utf8_error(text).empty(); }

constexpr RecordField kResumeFields[] = {
    {"initialize", FieldKind::kAny},
    {"initialized", FieldKind::kBool},
    {"account", FieldKind::kOptionalString},
    {"started", FieldKind::kU64},
    {"tools", FieldKind::kAny},
    {"listed_without_vorn", FieldKind::kBool},
    {"modern", FieldKind::kBool},
    {"client", FieldKind::kOptionalString},
    {"subscriptions", FieldKind::kArray},
    {"workspace", FieldKind::kOptionalString},
};

// A present, non-null value; null and a missing key both mean none.
std::optional<Json> some_value(std::optional<Json>& slot) {
  if (!slot || slot->is_null()) return std::nullopt;
  return std::move(*slot);
}

std::optional<std::string> some_text(std::optional<Json>& slot) {
  if (!slot || !slot->is_string()) return std::nullopt;
  return slot->get<std::string>();
}

}  // namespace

Result<FileStatus> stat_file(const std::filesystem::path& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return fail_errno(errno);
  return FileStatus{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
                    static_cast<std::int64_t>(st.st_mtim.tv_sec),
                    static_cast<std::int64_t>(st.st_mtim.tv_nsec),
                    static_cast<std::int64_t>(st.st_size)};
}

std::optional<ExeSnapshot> snapshot_exe(std::shared_ptr<StdinShared> stdin_share) {
  auto program = current_exe_path();
  if (!program) return std::nullopt;
  auto status = stat_file(*program);
  if (!status) return std::nullopt;
  return ExeSnapshot{*status, std::move(*program), std::move(stdin_share)};
}

Result<std::optional<std::string>> probe_version(const std::filesystem::path& path,
                                                 std::chrono::milliseconds limit) {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return fail_errno(errno);
  UniqueFd read_end(ends[0]);
  UniqueFd write_end(ends[1]);

  FileActions actions;
  if (!actions.ok()) return fail(ErrorKind::kOther, "could not prepare the version probe");
  int rc = posix_spawn_file_actions_addopen(actions.get(), 0, "/dev/null", O_RDONLY, 0);
  if (rc == 0) rc = posix_spawn_file_actions_adddup2(actions.get(), write_end.get(), 1);
  if (rc == 0) rc = posix_spawn_file_actions_addopen(actions.get(), 2, "/dev/null", O_WRONLY, 0);
  if (rc != 0) return fail_errno(rc);

  std::string program = path.string();
  std::string flag = "--version";
  char* argv[] = {program.data(), flag.data(), nullptr};
  pid_t pid = -1;
  rc = ::posix_spawn(&pid, program.c_str(), actions.get(), nullptr, argv, environ);
  if (rc != 0) return fail_errno(rc);
  write_end.reset();

  const auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  for (;;) {
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (done < 0 && errno != EINTR) {
      kill_and_reap(pid);
      return std::optional<std::string>();
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      kill_and_reap(pid);
      return std::optional<std::string>();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }

  if (::fcntl(read_end.get(), F_SETFL, O_NONBLOCK) != 0) return std::optional<std::string>();
  auto output = drain_pipe(read_end.get());
  read_end.reset();
  if (!output || !valid_utf8(*output)) return std::optional<std::string>();
  std::string text = std::move(*output);
  trim_end(text);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::optional<std::string>();
  if (!text.starts_with(kVersionPrefix) || text.size() == kVersionPrefix.size())
    return std::optional<std::string>();
  return std::optional<std::string>(text.substr(kVersionPrefix.size()));
}

bool update_available(ExeSnapshot& snapshot, std::string_view own_stamp) {
  auto now = stat_file(snapshot.program);
  if (!now) return false;
  if (snapshot.status && *snapshot.status == *now) return false;
  auto version = probe_version(snapshot.program);
  // Still open for writing: the file is not complete yet; ask again next turn.
  if (!version && version.error().os_error == ETXTBSY) return false;
  snapshot.status = *now;
  if (!version || !*version) return false;
  return **version != own_stamp;
}

std::string resume_text(const Resume& record) {
  const auto text = [](const std::optional<std::string>& value) {
    return value ? std::optional<Json>(*value) : std::nullopt;
  };
  const RecordFields values{
      record.initialize,         Json(record.initialized),
      text(record.account),      Json(record.started),
      record.tools,              Json(record.listed_without_vorn),
      Json(record.modern),       text(record.client),
      Json(record.subscriptions), text(record.workspace),
  };
  return write_record(kResumeFields, values);
}

Error exec_update(const ExeSnapshot& snapshot, const Resume& record) {
  Result<std::vector<std::string>> own = own_arguments();
  if (!own) return own.error();
  std::vector<std::string>& args = *own;
  args.insert(args.begin(), snapshot.program.string());
  std::vector<std::string> env;
  const std::string prefix = std::string(kResumeVar) + "=";
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    if (!std::string_view(*entry).starts_with(prefix)) env.emplace_back(*entry);
  }
  env.push_back(prefix + resume_text(record));

  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (std::string& var : env) envp.push_back(var.data());
  envp.push_back(nullptr);
  ::execve(argv[0], argv.data(), envp.data());
  return Error::from_errno(errno);
}

Result<Resume> decode_resume(std::string_view text) {
  RecordFields slots = TRY(decode_record_text(text, "Resume", kResumeFields));
  Resume record;
  record.initialize = some_value(slots[0]);
  record.initialized = slots[1] && slots[1]->get<bool>();
  record.account = some_text(slots[2]);
  record.started = slots[3] ? slots[3]->get<std::uint64_t>() : 0;
  record.tools = some_value(slots[4]);
  record.listed_without_vorn = slots[5] && slots[5]->get<bool>();
  record.modern = slots[6] && slots[6]->get<bool>();
  record.client = some_text(slots[7]);
  if (slots[8]) {
    for (Json& id : slots[8]->get_ref<Json::array_t&>()) record.subscriptions.push_back(std::move(id));
  }
  record.workspace = some_text(slots[9]);
  return record;
}

std::optional<Resume> take_resume() {
  const char* value = std::getenv(kResumeVar);
  if (value == nullptr) return std::nullopt;
  std::string text(value);
  if (!valid_utf8(text)) return std::nullopt;
  ::unsetenv(kResumeVar);
  auto record = decode_resume(text);
  if (!record) {
    report("could not take up the session it was handed: " + record.error().text());
    return std::nullopt;
  }
  return std::move(*record);
}

}  // namespace vorn
