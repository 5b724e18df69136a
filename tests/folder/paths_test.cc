#include "folder/paths.h"

#include <dirent.h>
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

TEST(RelativePath, JoinsWithOneSlash) {
  std::vector<std::string_view> parts = split_components("a/b/c");
  EXPECT_EQ(parts, (std::vector<std::string_view>{"a", "b", "c"}));
  EXPECT_EQ(join_components("/", parts), "/a/b/c");
  EXPECT_EQ(join_components("/r/", parts, 2), "/r/a/b");
  EXPECT_EQ(join_components("/r", parts, 0), "/r");
}

// A probe that records what it was asked and otherwise asks the disk.
std::vector<std::string> probed;
Result<bool> recording_probe(const std::string& path) {
  probed.push_back(path);
  return symlink_status(path);
}

class WalkTest : public FsTest {
 protected:
  void SetUp() override {
    FsTest::SetUp();
    probed.clear();
  }
};

TEST_F(WalkTest, StopsAtTheFirstLinkAndNeverProbesBelowIt) {
  make_dir(outside_ + "/b/c");
  link(outside_, at("a"));
  Result<bool> found = symlink_walk(recording_probe, root_, split_components("a/b/c"));
  ASSERT_TRUE(found.has_value());
  EXPECT_TRUE(*found);
  EXPECT_EQ(probed, std::vector<std::string>{at("a")});
}

TEST_F(WalkTest, MissingComponentsAreNoLinks) {
  Result<bool> found = symlink_walk(recording_probe, root_, split_components("a/b/c"));
  ASSERT_TRUE(found.has_value());
  EXPECT_FALSE(*found);
  EXPECT_EQ(probed, (std::vector<std::string>{at("a"), at("a/b"), at("a/b/c")}));
  // The root itself is never probed, so it may be a link.
  link(root_, tmp_ + "/root-link");
  probed.clear();
  found = symlink_walk(recording_probe, tmp_ + "/root-link", {});
  EXPECT_TRUE(found.has_value() && !*found);
  EXPECT_TRUE(probed.empty());
}

TEST_F(WalkTest, BelowARegularFileIsAnError) {
  put(at("a"), "x");
  Result<bool> found = symlink_walk(recording_probe, root_, split_components("a/b"));
  ASSERT_FALSE(found.has_value());
  EXPECT_EQ(found.error().os_error, ENOTDIR);
  EXPECT_EQ(dom_error_name(found.error()), "InvalidAccessError");
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
  Result<std::vector<ListingEntry>> looped = list_dir(at("loop"));
  ASSERT_FALSE(looped.has_value());
  EXPECT_EQ(looped.error().os_error, ELOOP);
  EXPECT_EQ(dom_error_name(looped.error()), "NotFoundError");
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
  auto is_link = [&](const std::string& rel) {
    Result<bool> answer = symlink_status(at(rel));
    EXPECT_TRUE(answer.has_value()) << rel;
    return answer.value_or(false);
  };
  EXPECT_TRUE(is_link("dangling"));
  EXPECT_TRUE(is_link("dir-link"));
  EXPECT_FALSE(is_link("file"));
  EXPECT_FALSE(is_link("missing"));
  EXPECT_EQ(symlink_status(at("file/below")).error().os_error, ENOTDIR);
}

TEST_F(WalkTest, ListDirKeepsRawPathsAndMissingIsEmpty) {
  Result<std::vector<ListingEntry>> missing = list_dir(at("missing"));
  ASSERT_TRUE(missing.has_value());
  EXPECT_TRUE(missing->empty());
  put(at("file"), "x");
  EXPECT_EQ(list_dir(at("file")).error().os_error, ENOTDIR);

  make_dir(at("d"));
  std::string raw = "bad\xff\xfe" "name";
  put(at("d/" + raw), "x");
  put(at("d/ok"), "y");
  Result<std::vector<ListingEntry>> listed = list_dir(at("d"));
  ASSERT_TRUE(listed.has_value());
  ASSERT_EQ(listed->size(), 2u);
  auto bad = std::find_if(listed->begin(), listed->end(),
                          [](const ListingEntry& e) { return e.name != "ok"; });
  EXPECT_EQ(bad->name, "bad\xEF\xBF\xBD\xEF\xBF\xBDname");
  EXPECT_EQ(bad->path, at("d/" + raw));
  EXPECT_EQ(get(bad->path), "x");
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
