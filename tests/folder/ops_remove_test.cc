#include "tests/folder/fs_fixture.h"

namespace vorn::folder {
namespace {

using testing::FsTest;
using testing::text;

using RemoveTest = FsTest;

TEST_F(RemoveTest, RemovePathHandlesEveryKind) {
  EXPECT_TRUE(remove_path(root_fd().get(), "missing").has_value());
  make_dir(at("empty"));
  EXPECT_TRUE(remove_path(root_fd().get(), "empty").has_value());
  EXPECT_FALSE(present(at("empty")));
  put(at("full/x"), "x");
  Status not_empty = remove_path(root_fd().get(), "full");
  ASSERT_FALSE(not_empty.has_value());
  EXPECT_EQ(dom_error_name(not_empty.error()), "OperationError");
  link(outside_, at("dir-link"));
  link(outside_ + "/secret", at("file-link"));
  EXPECT_TRUE(remove_path(root_fd().get(), "dir-link").has_value());
  EXPECT_TRUE(remove_path(root_fd().get(), "file-link").has_value());
  EXPECT_EQ(names_in(root_), std::vector<std::string>{"full"});
  expect_outside_untouched();
}

TEST_F(RemoveTest, FlatDirectoryGoesWithItsFilesAndLinks) {
  put(at("d/a"), "a");
  put(at("d/b"), "b");
  link(outside_, at("d/to-outside"));
  link(outside_ + "/secret", at("d/to-secret"));
  EXPECT_EQ(text(remove_dir_if_flat(place_of(at("d")))), R"({"reachable":true,"removed":true})");
  EXPECT_FALSE(present(at("d")));
  expect_outside_untouched();
}

TEST_F(RemoveTest, SubdirectoryKeepsTheDirectoryButNotItsFiles) {
  put(at("d/a"), "a");
  put(at("d/sub/inner"), "kept");
  EXPECT_EQ(text(remove_dir_if_flat(place_of(at("d")))), R"({"reachable":true,"removed":false})");
  EXPECT_EQ(names_in(at("d")), std::vector<std::string>{"sub"});
  EXPECT_EQ(get(at("d/sub/inner")), "kept");
}

TEST_F(RemoveTest, EmptyOrMissingDirectoryIsRemovedAndAFileFails) {
  make_dir(at("empty"));
  EXPECT_EQ(text(remove_dir_if_flat(place_of(at("empty")))), R"({"reachable":true,"removed":true})");
  EXPECT_FALSE(present(at("empty")));
  EXPECT_EQ(text(remove_dir_if_flat(place_of(at("missing")))), R"({"reachable":true,"removed":true})");
  put(at("file"), "x");
  EXPECT_EQ(text(remove_dir_if_flat(place_of(at("file")))), "error:InvalidAccessError");
  EXPECT_TRUE(present(at("file")));
}

TEST_F(RemoveTest, ListNamesSortsAndTellsHolders) {
  EXPECT_EQ(text(list_names(place_of(at("missing")), std::nullopt)), R"({"names":[],"reachable":true})");
  EXPECT_EQ(text(list_names(place_of(at("missing")), "n")), R"({"holding":[],"names":[],"reachable":true})");
  put(at("file"), "x");
  EXPECT_EQ(text(list_names(place_of(at("file")), std::nullopt)), "error:InvalidAccessError");

  put(at("d/with/n"), "x");           // holds n
  make_dir(at("d/dir-n/n"));          // holds a directory n
  make_dir(at("d/without"));
  put(at("d/Plain"), "x");
  link(at("d/with"), at("d/link-to-with"));
  make_dir(at("d/dangling"));
  link(at("nowhere"), at("d/dangling/n"));
  EXPECT_EQ(text(list_names(place_of(at("d")), "n")),
            R"({"holding":["dir-n","with"],"names":["Plain","dangling","dir-n","link-to-with",)"
            R"("with","without"],"reachable":true})");
  EXPECT_EQ(text(list_names(place_of(at("d")), std::nullopt)),
            R"({"names":["Plain","dangling","dir-n","link-to-with","with","without"],"reachable":true})");
}

TEST_F(RemoveTest, ListNamesTakesTheFirstThousandDelivered) {
  for (int i = 0; i < 1500; ++i) ASSERT_NO_FATAL_FAILURE(put(at("d/" + std::to_string(i)), ""));
  Result<std::vector<ListingEntry>> listed = list_dir(open_dir(at("d"), O_RDONLY).get());
  ASSERT_TRUE(listed.has_value());
  std::vector<std::string> first;
  for (size_t i = 0; i < 1000; ++i) first.push_back((*listed)[i].name);
  std::sort(first.begin(), first.end());  // ASCII digits: byte order is the name order
  OpResult answer = list_names(place_of(at("d")), std::nullopt);
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ((*answer)["names"], Json(first));
}

}  // namespace
}  // namespace vorn::folder
