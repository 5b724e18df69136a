#include "folder/paths.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "tests/folder/fs_fixture.h"

namespace vorn::folder {
namespace {

using testing::FsTest;

TEST(RelativePath, AcceptsNamesAndRefusesEscapes) {
  for (std::string_view ok : {"a", "a/b", "...", ".x", "a b", "é/ü", "a..b", "x/.hidden/y"}) {
    EXPECT_TRUE(is_safe_relative_path(ok)) << ok;
  }
  for (std::string_view bad :
       {"", ".", "..", "/a", "a/", "a//b", "./a", "a/./b", "a/..", "../a", "a:b", "a\\b"}) {
    EXPECT_FALSE(is_safe_relative_path(bad)) << bad;
  }
  EXPECT_FALSE(is_safe_relative_path(std::string_view("a\0b", 3)));
}

TEST(RelativePath, SplitsAndMeasuresWithOneSlash) {
  std::vector<std::string_view> parts = split_components("a/b/c");
  EXPECT_EQ(parts, (std::vector<std::string_view>{"a", "b", "c"}));
  // The full text counts one '/' between root and path unless the root
  // already ends with one; PATH_MAX bytes is one too many.
  std::string path(4092, 'p');
  EXPECT_TRUE(fits_path_limit("/r", path));
  EXPECT_FALSE(fits_path_limit("/rx", path));
  EXPECT_TRUE(fits_path_limit("/r/", path));
  EXPECT_TRUE(fits_path_limit("/", path + "pp"));
  EXPECT_FALSE(fits_path_limit("/", path + "ppp"));
}

// Every walk runs twice: through the kernel's beneath-resolution and through
// the one-component-at-a-time fallback that kernels without it (or seccomp
// filters refusing it) get. Both must tell the same.
class WalkTest : public FsTest {
 protected:
  void TearDown() override {
    use_kernel_resolution(true);
    FsTest::TearDown();
  }
  template <typename Check>
  void both_ways(Check check) {
    for (bool kernel : {true, false}) {
      SCOPED_TRACE(kernel ? "kernel resolution" : "fallback walk");
      use_kernel_resolution(kernel);
      check();
    }
  }
  // Kind and depth of a walk below the root.
  std::pair<Walk::Kind, size_t> walk(std::string_view path, int root = -1) {
    Result<Walk> walked = symlink_walk(root < 0 ? root_fd().get() : root, split_components(path));
    EXPECT_TRUE(walked.has_value()) << path;
    if (!walked) return {Walk::kReached, 999};
    return {walked->kind, walked->depth};
  }
};

TEST_F(WalkTest, StopsAtTheFirstLinkMissingPieceOrFile) {
  make_dir(outside_ + "/b/c");
  make_dir(at("d/e"));
  link(outside_, at("a"));
  link(outside_, at("d/e/l"));
  put(at("d/f"), "x");
  both_ways([&] {
    EXPECT_EQ(walk("a/b/c"), std::make_pair(Walk::kLink, size_t{0}));
    EXPECT_EQ(walk("d/e/l/b"), std::make_pair(Walk::kLink, size_t{2}));
    EXPECT_EQ(walk("d/e/l"), std::make_pair(Walk::kLink, size_t{2}));
    EXPECT_EQ(walk("m/b/c"), std::make_pair(Walk::kMissing, size_t{0}));
    EXPECT_EQ(walk("d/e/m"), std::make_pair(Walk::kMissing, size_t{2}));
    EXPECT_EQ(walk("d/f/x"), std::make_pair(Walk::kNotDir, size_t{1}));
    EXPECT_EQ(walk("d/f"), std::make_pair(Walk::kNotDir, size_t{1}));
    EXPECT_EQ(walk("d/e"), std::make_pair(Walk::kReached, size_t{2}));
  });
}

TEST_F(WalkTest, TheRootItselfMayBeALinkAndIsNeverLookedAt) {
  make_dir(at("d"));
  link(root_, tmp_ + "/root-link");
  both_ways([&] {
    UniqueFd root = open_dir(tmp_ + "/root-link");
    Result<Walk> nothing = symlink_walk(root.get(), {});
    EXPECT_TRUE(nothing && nothing->kind == Walk::kReached && nothing->dir.get() == root.get());
    EXPECT_EQ(walk("d", root.get()), std::make_pair(Walk::kReached, size_t{1}));
  });
}

// What the walk hands on is the directory it checked: a later swap of its
// name for a link to the outside leaves the caller where it was.
TEST_F(WalkTest, HeldDirectoryStaysPutWhenItsNameIsSwapped) {
  make_dir(at("d"));
  link(outside_, at("l"));
  both_ways([&] {
    Result<Walk> walked = symlink_walk(root_fd().get(), split_components("d"));
    ASSERT_TRUE(walked && walked->kind == Walk::kReached);
    ASSERT_EQ(renameat2(AT_FDCWD, at("d").c_str(), AT_FDCWD, at("l").c_str(), RENAME_EXCHANGE), 0);
    put(at("l/inside"), "x");  // "l" now names the walked directory
    EXPECT_EQ(symlink_status(walked->dir.get(), "inside").value().has_value(), true);
    EXPECT_EQ(symlink_status(walked->dir.get(), "secret").value().has_value(), false);
    ASSERT_EQ(renameat2(AT_FDCWD, at("d").c_str(), AT_FDCWD, at("l").c_str(), RENAME_EXCHANGE), 0);
    ASSERT_EQ(unlink(at("d/inside").c_str()), 0);
  });
  expect_outside_untouched();
}

TEST(ErrorNames, FollowTheTable) {
  struct Row {
    int error;
    std::string_view name;
  } rows[] = {{EPERM, "NotAllowedError"},         {EACCES, "NotAllowedError"},
              {ENOENT, "NotFoundError"},          {ELOOP, "NotFoundError"},
              {ENOLINK, "NotFoundError"},         {EEXIST, "NoModificationAllowedError"},
              {ENOTDIR, "InvalidAccessError"},    {EISDIR, "InvalidAccessError"},
              {EFBIG, "NotReadableError"},        {ENOSPC, "NotReadableError"},
              {EDQUOT, "NotReadableError"},       {EROFS, "ReadOnlyError"},
              {ENAMETOOLONG, "OperationError"},   {ENOTEMPTY, "OperationError"},
              {EXDEV, "UnknownError"},            {EIO, "UnknownError"},
              {123, "UnknownError"},              {0x7fff, "UnknownError"}};
  for (const Row& row : rows) {
    EXPECT_EQ(dom_error_name(Error::from_errno(row.error)), row.name) << row.error;
  }
  EXPECT_EQ(dom_error_name(Error::make(ErrorKind::kNotFound)), "NotFoundError");
  EXPECT_EQ(dom_error_name(Error::make(ErrorKind::kPermissionDenied)), "NotAllowedError");
  EXPECT_EQ(dom_error_name(Error::make(ErrorKind::kAlreadyExists)), "NoModificationAllowedError");
  EXPECT_EQ(dom_error_name(Error::make(ErrorKind::kWriteZero)), "UnknownError");
  EXPECT_EQ(dom_error_name_owned(Error::from_errno(EROFS)), "ReadOnlyError");
}

// The names of errors the system really gives, not only of numbers.
TEST_F(WalkTest, ProvokedSystemErrorsAreNamed) {
  auto name_of = [](int rc) {
    EXPECT_NE(rc, 0);
    return std::string(dom_error_name(Error::from_errno(errno)));
  };
  put(at("file"), "x");
  make_dir(at("full/inner"));
  EXPECT_EQ(name_of(unlink(at("missing").c_str())), "NotFoundError");
  EXPECT_EQ(name_of(mkdir(at("file").c_str(), 0777)), "NoModificationAllowedError");
  EXPECT_EQ(name_of(unlink(at("full").c_str())), "InvalidAccessError");  // EISDIR
  EXPECT_EQ(name_of(rmdir(at("full").c_str())), "OperationError");       // ENOTEMPTY
  EXPECT_EQ(name_of(rmdir(at("file/x").c_str())), "InvalidAccessError");  // ENOTDIR
  EXPECT_EQ(name_of(mkdir(at(std::string(256, 'n')).c_str(), 0777)), "OperationError");
  // A link loop met while following a path.
  link(at("loop"), at("loop"));
  EXPECT_EQ(name_of(open(at("loop").c_str(), O_RDONLY | O_CLOEXEC)), "NotFoundError");
}

TEST_F(WalkTest, RenameAcrossFileSystemsIsUnknown) {
  struct stat here, shm;
  if (stat("/dev/shm", &shm) != 0 || stat(root_.c_str(), &here) != 0 || shm.st_dev == here.st_dev) {
    GTEST_SKIP() << "no second file system at /dev/shm";
  }
  put(at("f"), "x");
  std::string elsewhere = "/dev/shm/vorn-fops-exdev-" + std::to_string(getpid());
  int rc = rename(at("f").c_str(), elsewhere.c_str());
  int saved = errno;
  if (rc == 0) unlink(elsewhere.c_str());
  ASSERT_NE(rc, 0);
  EXPECT_EQ(saved, EXDEV);
  EXPECT_EQ(dom_error_name(Error::from_errno(saved)), "UnknownError");
}

TEST_F(WalkTest, SymlinkStatusDoesNotFollow) {
  link(tmp_ + "/nowhere", at("dangling"));
  link(outside_, at("dir-link"));
  put(at("file"), "x");
  UniqueFd root = root_fd();
  auto is_link = [&](const std::string& name) {
    Result<std::optional<struct stat>> status = symlink_status(root.get(), name);
    EXPECT_TRUE(status && *status) << name;
    return status && *status && S_ISLNK((*status)->st_mode);
  };
  EXPECT_TRUE(is_link("dangling"));
  EXPECT_TRUE(is_link("dir-link"));
  EXPECT_FALSE(is_link("file"));
  EXPECT_FALSE(symlink_status(root.get(), "missing").value().has_value());
  EXPECT_EQ(symlink_status(root.get(), "file/below").error().os_error, ENOTDIR);
}

TEST_F(WalkTest, ListDirKeepsRawNames) {
  make_dir(at("d"));
  std::string raw = "bad\xff\xfe" "name";
  put(at("d/" + raw), "x");
  put(at("d/ok"), "y");
  Result<std::vector<ListingEntry>> listed = list_dir(open_dir(at("d"), O_RDONLY).get());
  ASSERT_TRUE(listed.has_value());
  ASSERT_EQ(listed->size(), 2u);
  auto bad = std::find_if(listed->begin(), listed->end(),
                          [](const ListingEntry& e) { return e.name != "ok"; });
  EXPECT_EQ(bad->name, "bad\xEF\xBF\xBD\xEF\xBF\xBDname");
  EXPECT_EQ(bad->raw, raw);
  EXPECT_EQ(get(at("d/" + bad->raw)), "x");
}

TEST(NameOrder, ComparesUtf16Units) {
  auto less = [](std::string_view a, std::string_view b) { return utf16_cmp(a, b) < 0; };
  EXPECT_TRUE(less("B", "a"));
  EXPECT_TRUE(less("a", "ab"));
  EXPECT_TRUE(less("z", "é"));
  // U+1F600 (D83D DE00) sorts before U+FFFD and U+E000, unlike code-point order.
  EXPECT_TRUE(less("x\U0001F600", "x\uFFFD"));
  EXPECT_TRUE(less("\U0001F600", "\uE000"));
  EXPECT_TRUE(less("\uD7FF", "\U0001F600"));
  EXPECT_TRUE(less("\U0001F600", "\U0001F601"));
  EXPECT_EQ(utf16_cmp("é\U0001F600", "é\U0001F600"), std::strong_ordering::equal);
  EXPECT_EQ(utf16_cmp("", ""), std::strong_ordering::equal);
  EXPECT_TRUE(less("", "a"));
  EXPECT_FALSE(less("ab", "a"));
}

}  // namespace
}  // namespace vorn::folder
