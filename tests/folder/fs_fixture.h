// A fresh directory tree per test, with small helpers to build and read it.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "folder/ops.h"

namespace vorn::folder::testing {

class FsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    old_umask_ = umask(022);
    std::string pattern = base_dir() + "/vorn-fops-XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr) << "cannot make a directory in " << base_dir() << ": "
                                                 << strerror(errno);
    tmp_ = pattern;
    root_ = tmp_ + "/root";
    outside_ = tmp_ + "/outside";
    request_dir_ = tmp_ + "/req";
    for (const std::string& dir : {root_, outside_, request_dir_}) {
      ASSERT_EQ(mkdir(dir.c_str(), 0777), 0) << dir << ": " << strerror(errno);
    }
    put(outside_ + "/secret", "outside secret");
  }
  // Runs after a failed SetUp or test too, so nothing is left behind.
  void TearDown() override {
    // A full TMPDIR fails a test through the service's own error names; say
    // so, or the failure reads as a fault of the code under test.
    if (HasFailure() && !tmp_.empty() && room_in(tmp_) < (uint64_t{4} << 20)) {
      std::fprintf(stderr, "note: the file system of %s has %llu KiB free: a full disk may be why "
                   "this failed\n", tmp_.c_str(), static_cast<unsigned long long>(room_in(tmp_) >> 10));
    }
    if (!tmp_.empty()) {
      std::error_code failed;
      std::filesystem::remove_all(tmp_, failed);
      EXPECT_FALSE(failed) << "cannot remove " << tmp_ << ": " << failed.message();
    }
    umask(old_umask_);
  }
  // Where the tree goes: the caller's TMPDIR, as for any other temporary file.
  virtual std::string base_dir() const {
    const char* dir = getenv("TMPDIR");
    return dir != nullptr && dir[0] == '/' ? dir : "/tmp";
  }
  // Free bytes on the file system of `dir`.
  static uint64_t room_in(const std::string& dir) {
    struct statvfs fs;
    return statvfs(dir.c_str(), &fs) == 0 ? uint64_t{fs.f_bavail} * fs.f_frsize : 0;
  }
  // Empty when the tree's file system has `bytes` free, else why the test
  // cannot run there; for GTEST_SKIP, as a small TMPDIR is no fault.
  std::string short_of_room(uint64_t bytes) const {
    uint64_t free = room_in(tmp_);
    if (free >= bytes) return "";
    return "needs " + std::to_string(bytes >> 20) + " MiB free, but the file system of " + tmp_ +
           " has " + std::to_string(free >> 20) + " MiB";
  }

  std::string at(const std::string& rel) const { return root_ + "/" + rel; }

  // A directory open as the service holds it: for lookups, or with `use`
  // O_RDONLY for listing. Callers keep it no longer than the call that needs
  // it (a temporary lives to the end of its statement), so a test's
  // descriptors never pile up with its rounds.
  static UniqueFd open_dir(const std::string& path, int use = O_PATH) {
    UniqueFd fd(open(path.c_str(), use | O_DIRECTORY | O_CLOEXEC));
    EXPECT_TRUE(fd) << path << ": " << strerror(errno);
    return fd;
  }
  UniqueFd root_fd() const { return open_dir(root_); }
  // The last component of a path in its open parent (missing when the
  // parent does not exist); passes as a Place.
  struct OpenPlace {
    UniqueFd dir;
    std::string name;
    operator Place() const { return Place{dir.get(), name}; }
  };
  static OpenPlace place_of(const std::string& path) {
    size_t slash = path.rfind('/');
    UniqueFd dir(open(slash == 0 ? "/" : path.substr(0, slash).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    return OpenPlace{std::move(dir), path.substr(slash + 1)};
  }

  // Writes `content` to `path`, parents made; a failed write (a full disk)
  // fails the test with the reason.
  static void put(const std::string& path, const std::string& content) {
    std::error_code failed;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), failed);
    ASSERT_FALSE(failed) << path << ": " << failed.message();
    UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    ASSERT_TRUE(fd) << path << ": " << strerror(errno);
    for (size_t done = 0; done < content.size();) {
      ssize_t n = write(fd.get(), content.data() + done, content.size() - done);
      if (n < 0 && errno == EINTR) continue;
      ASSERT_GT(n, 0) << "writing " << path << ": " << strerror(errno);
      done += static_cast<size_t>(n);
    }
    Status closed = fd.close();
    ASSERT_TRUE(closed.has_value()) << "closing " << path << ": " << closed.error().text();
  }
  static std::string get(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  static void make_dir(const std::string& path) { std::filesystem::create_directories(path); }
  static void link(const std::string& target, const std::string& path) {
    ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0) << path;
  }
  static bool present(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
  }
  static mode_t mode_of(const std::string& path) {
    struct stat st;
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return st.st_mode;
  }
  static std::vector<std::string> names_in(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  // Sets the modification time to `seconds_ago` before now (no waiting).
  static void age(const std::string& path, long seconds_ago) {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    timespec times[2] = {now, now};
    times[1].tv_sec -= seconds_ago;
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
  }
  // A sparse file of `size` bytes.
  static void sparse(const std::string& path, off_t size) {
    UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    ASSERT_TRUE(fd) << path << ": " << strerror(errno);
    ASSERT_EQ(ftruncate(fd.get(), size), 0) << path << ": " << strerror(errno);
  }
  // The outside tree is exactly as SetUp left it.
  void expect_outside_untouched() const {
    EXPECT_EQ(names_in(outside_), std::vector<std::string>{"secret"});
    EXPECT_EQ(get(outside_ + "/secret"), "outside secret");
  }

  std::string tmp_, root_, outside_, request_dir_;
  mode_t old_umask_ = 0;
};

inline DirSpec dir_spec(std::string_view path, std::optional<std::string_view> suffix = std::nullopt,
                        std::optional<std::string_view> mine = std::nullopt,
                        uint64_t max_bytes = DEFAULT_MAX_BYTES) {
  DirSpec spec;
  spec.path = path;
  spec.suffix = suffix;
  spec.mine = mine;
  spec.max_bytes = max_bytes;
  return spec;
}

// Answers compared as the compact text the service writes.
inline std::string text(const OpResult& result) {
  return result ? result->dump() : "error:" + std::string(result.error());
}

}  // namespace vorn::folder::testing
