// A fresh directory tree per test, with small helpers to build and read it.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
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
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    tmp_ = pattern;
    root_ = tmp_ + "/root";
    outside_ = tmp_ + "/outside";
    request_dir_ = tmp_ + "/req";
    for (const std::string& dir : {root_, outside_, request_dir_}) ASSERT_EQ(mkdir(dir.c_str(), 0777), 0);
    put(outside_ + "/secret", "outside secret");
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(tmp_, ignored);
    umask(old_umask_);
  }
  virtual std::string base_dir() const { return "/tmp"; }

  std::string at(const std::string& rel) const { return root_ + "/" + rel; }

  // The root (or any directory) open as the service holds it; the
  // descriptors live as long as the test.
  int open_dir(const std::string& path) {
    held_.emplace_back(open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    return held_.back().get();
  }
  int root_fd() { return open_dir(root_); }
  // The last component of `path` in its open parent; missing when the
  // parent does not exist.
  Place place_of(const std::string& path) {
    size_t slash = path.rfind('/');
    return Place{open_dir(slash == 0 ? "/" : path.substr(0, slash)), path.substr(slash + 1)};
  }

  static void put(const std::string& path, const std::string& content) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    ASSERT_TRUE(out.good()) << path;
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
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, size), 0);
    close(fd);
  }
  // The outside tree is exactly as SetUp left it.
  void expect_outside_untouched() const {
    EXPECT_EQ(names_in(outside_), std::vector<std::string>{"secret"});
    EXPECT_EQ(get(outside_ + "/secret"), "outside secret");
  }

  std::string tmp_, root_, outside_, request_dir_;
  mode_t old_umask_ = 0;
  std::vector<UniqueFd> held_;
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
