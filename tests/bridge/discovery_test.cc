#include "bridge/discovery.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>

namespace vorn {
namespace {

namespace fs = std::filesystem;

// A scratch directory, a clean HOME/XDG_CONFIG_HOME and the current
// directory, all put back afterwards.
class DiscoveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "discovery-XXXXXX").native();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = fs::canonical(pattern);
    saved_home_ = save("HOME");
    saved_xdg_ = save("XDG_CONFIG_HOME");
    saved_cwd_ = fs::current_path();
    ::unsetenv("HOME");
    ::unsetenv("XDG_CONFIG_HOME");
  }
  void TearDown() override {
    fs::current_path(saved_cwd_);
    restore("HOME", saved_home_);
    restore("XDG_CONFIG_HOME", saved_xdg_);
    fs::remove_all(root_);
  }

  static std::optional<std::string> save(const char* name) {
    const char* value = ::getenv(name);
    return value ? std::optional<std::string>(value) : std::nullopt;
  }
  static void restore(const char* name, const std::optional<std::string>& value) {
    if (value) {
      ::setenv(name, value->c_str(), 1);
    } else {
      ::unsetenv(name);
    }
  }

  fs::path root_;
  std::optional<std::string> saved_home_, saved_xdg_;
  fs::path saved_cwd_;
};

TEST(JoinPath, PutsExactlyOneSeparatorBetween) {
  EXPECT_EQ(join_path("/a", "b"), "/a/b");
  EXPECT_EQ(join_path("/a/", "b"), "/a/b");
  EXPECT_EQ(join_path("", ".vorn"), ".vorn");
  EXPECT_EQ(join_path("/", "x"), "/x");
}

TEST_F(DiscoveryTest, ConfigBasePrefersDotVornThenXdgThenDotConfig) {
  EXPECT_EQ(config_base_dir(), std::nullopt);
  ::setenv("XDG_CONFIG_HOME", "relative/config", 1);
  EXPECT_EQ(config_base_dir(), std::nullopt);
  ::setenv("XDG_CONFIG_HOME", "/x", 1);
  EXPECT_EQ(config_base_dir(), fs::path("/x/vorn"));

  const std::string home = root_.native();
  ::setenv("HOME", home.c_str(), 1);
  EXPECT_EQ(default_profile_dir(), fs::path("/x/vorn/Data"));
  ::setenv("XDG_CONFIG_HOME", "rel", 1);
  EXPECT_EQ(default_profile_dir(), fs::path(home + "/.config/vorn/Data"));

  // A link to a directory counts as the directory; a plain file does not.
  fs::create_directory(root_ / "real");
  fs::create_directory_symlink(root_ / "real", root_ / ".vorn");
  ::setenv("XDG_CONFIG_HOME", "/x", 1);
  EXPECT_EQ(default_profile_dir(), fs::path(home + "/.vorn/Data"));
  fs::remove(root_ / ".vorn");
  { FILE* f = ::fopen((root_ / ".vorn").c_str(), "w"); ASSERT_NE(f, nullptr); ::fclose(f); }
  EXPECT_EQ(config_base_dir(), fs::path("/x/vorn"));

  ::setenv("HOME", (home + "/").c_str(), 1);
  ::unsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ(config_base_dir(), fs::path(home + "/.config/vorn"));
}

TEST_F(DiscoveryTest, EmptyHomeGivesRelativeCandidates) {
  ::setenv("HOME", "", 1);
  fs::current_path(root_);
  EXPECT_EQ(default_profile_dir(), fs::path(".config/vorn/Data"));
  fs::create_directory(root_ / ".vorn");
  EXPECT_EQ(default_profile_dir(), fs::path(".vorn/Data"));
  EXPECT_EQ(vorn::weakly_canonical(*default_profile_dir()), root_ / ".vorn/Data");
}

TEST_F(DiscoveryTest, WeaklyCanonicalResolvesWhatExists) {
  fs::create_directories(root_ / "p/q");
  fs::create_directory_symlink(root_ / "p", root_ / "link");
  fs::current_path(root_);

  EXPECT_EQ(vorn::weakly_canonical("p/./q//"), root_ / "p/q");
  EXPECT_EQ(vorn::weakly_canonical(root_ / "link/q"), root_ / "p/q");
  // Missing tail names are kept behind the resolved part, in order.
  EXPECT_EQ(vorn::weakly_canonical("link/new/deeper"), root_ / "p/new/deeper");
  EXPECT_EQ(vorn::weakly_canonical(root_ / "link/q/../q/x"), root_ / "p/q/x");
  // Through a missing directory and back out: absolute but unresolved.
  EXPECT_EQ(vorn::weakly_canonical("link/missing/../q"), root_ / "link/missing/../q");
  EXPECT_EQ(vorn::weakly_canonical("link/missing/../q/"),
            fs::path(root_.native() + "/link/missing/../q/"));
  EXPECT_EQ(vorn::weakly_canonical(""), fs::path(""));
  EXPECT_EQ(vorn::weakly_canonical("/"), fs::path("/"));
  EXPECT_EQ(vorn::weakly_canonical("///"), fs::path("/"));
}

TEST_F(DiscoveryTest, WeaklyCanonicalKeepsBytesThatAreNotUtf8) {
  const fs::path odd = root_ / "odd\xFF";
  EXPECT_EQ(vorn::weakly_canonical(odd / "x"), odd / "x");
  fs::create_directory(odd);
  EXPECT_EQ(vorn::weakly_canonical(odd), odd);
}

TEST(ExePath, IsTheResolvedRunningProgram) {
  Result<fs::path> exe = current_exe_path();
  ASSERT_TRUE(exe.has_value()) << exe.error().text();
  EXPECT_EQ(*exe, fs::canonical("/proc/self/exe"));
  Result<fs::path> dir = exe_dir();
  ASSERT_TRUE(dir.has_value()) << dir.error().text();
  EXPECT_EQ(*dir, exe->parent_path());
}

}  // namespace
}  // namespace vorn
