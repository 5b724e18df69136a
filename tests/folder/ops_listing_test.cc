#include <atomic>
#include <thread>

#include "tests/folder/fs_fixture.h"

namespace vorn::folder {
namespace {

using testing::FsTest;
using testing::dir_spec;
using testing::text;

class ListingTest : public FsTest {
 protected:
  void SetUp() override {
    FsTest::SetUp();
    dir_ = at("d");
    out_ = request_dir_ + "/files-x";
    make_dir(dir_);
    make_dir(out_);
  }
  OpResult list(const DirSpec& spec = dir_spec("d"), uint64_t* budget = nullptr) {
    return copy_listing(place_of(dir_), spec, out_, budget);
  }
  std::string dir_, out_;
};

TEST_F(ListingTest, CopiesInNameOrderWithRecordsForTheRest) {
  put(dir_ + "/b.txt", "bee");
  put(dir_ + "/B.txt", "capital");
  put(dir_ + "/a.txt", "");
  put(dir_ + "/\xC3\xA9.txt", "accent");
  make_dir(dir_ + "/sub.txt");
  link(outside_ + "/secret", dir_ + "/link.txt");
  ASSERT_EQ(mkfifo((dir_ + "/fifo.txt").c_str(), 0644), 0);
  put(dir_ + "/other.dat", "not matched");
  EXPECT_EQ(text(list(dir_spec("d", ".txt"))),
            R"({"entries":[{"copy":"0","name":"B.txt"},{"copy":"1","name":"a.txt"},)"
            R"({"copy":"2","name":"b.txt"},{"copy":"3","name":"é.txt"}],"reachable":true,)"
            R"("unreadable":[{"name":"fifo.txt","reason":"NotAFile"},{"name":"link.txt","reason":"Symlink"},)"
            R"({"name":"sub.txt","reason":"IsDirectory"}]})");
  EXPECT_EQ(get(out_ + "/0"), "capital");
  EXPECT_EQ(get(out_ + "/1"), "");
  EXPECT_EQ(get(out_ + "/3"), "accent");
  EXPECT_EQ(names_in(out_), (std::vector<std::string>{"0", "1", "2", "3"}));
  // Byte comparison: an upper-case suffix matches nothing here.
  EXPECT_EQ(text(list(dir_spec("d", ".TXT"))), R"({"entries":[],"reachable":true,"unreadable":[]})");
  expect_outside_untouched();
}

// Reading the output folder itself: each copy is its own entry and must come
// through whole, under the same numbers.
TEST_F(ListingTest, ListingTheOutputFolderKeepsItsCopies) {
  put(out_ + "/0", "zero");
  put(out_ + "/1", "one");
  EXPECT_EQ(text(copy_listing(place_of(out_), dir_spec("files-x"), out_, nullptr)),
            R"({"entries":[{"copy":"0","name":"0"},{"copy":"1","name":"1"}],"reachable":true,)"
            R"("unreadable":[]})");
  EXPECT_EQ(get(out_ + "/0"), "zero");
  EXPECT_EQ(get(out_ + "/1"), "one");
}

TEST_F(ListingTest, MissingDirectoryIsEmptyAndAFileFails) {
  dir_ = at("missing");
  EXPECT_EQ(text(list()), R"({"entries":[],"reachable":true,"unreadable":[]})");
  put(at("file"), "x");
  dir_ = at("file");
  EXPECT_EQ(text(list()), "error:InvalidAccessError");
}

TEST_F(ListingTest, OwnFileComesFirstAndCopiesFollowTheWalk) {
  put(dir_ + "/a", "A");
  ASSERT_EQ(mkfifo((dir_ + "/b").c_str(), 0644), 0);
  put(dir_ + "/c", "C");
  EXPECT_EQ(text(list()),
            R"({"entries":[{"copy":"0","name":"a"},{"copy":"1","name":"c"}],"reachable":true,)"
            R"("unreadable":[{"name":"b","reason":"NotAFile"}]})");
  EXPECT_EQ(text(list(dir_spec("d", std::nullopt, "c"))),
            R"({"entries":[{"copy":"1","name":"a"},{"copy":"0","name":"c"}],"reachable":true,)"
            R"("unreadable":[{"name":"b","reason":"NotAFile"}]})");
  EXPECT_EQ(get(out_ + "/0"), "C");
  EXPECT_EQ(get(out_ + "/1"), "A");
  // An own file that lacks the suffix is neither listed nor the own file.
  EXPECT_EQ(text(list(dir_spec("d", "a", "c"))),
            R"({"entries":[{"copy":"0","name":"a"}],"reachable":true,"unreadable":[]})");
}

TEST_F(ListingTest, OwnFileOfTheWrongKindIsAnOrdinaryRecord) {
  put(dir_ + "/big", "12345");
  make_dir(dir_ + "/dir");
  link(outside_ + "/secret", dir_ + "/link");
  ASSERT_EQ(mkfifo((dir_ + "/fifo").c_str(), 0644), 0);
  struct Case {
    std::string_view mine, reason;
  } cases[] = {{"big", "TooLarge"}, {"dir", "IsDirectory"}, {"link", "Symlink"}, {"fifo", "NotAFile"}};
  for (const Case& c : cases) {
    OpResult result = list(dir_spec("d", std::nullopt, c.mine, 4));
    ASSERT_TRUE(result.has_value()) << c.mine;
    EXPECT_EQ((*result)["reachable"], true) << c.mine;
    EXPECT_EQ((*result)["unreadable"][0], (Json{{"name", c.mine}, {"reason", c.reason}}));
  }
}

TEST_F(ListingTest, GrowingFilesAreChangedOrTooLarge) {
  // /proc/<pid>/status reports size 0 and then reads more: it grows, as far
  // as the copier can tell. Nothing else of /proc is relied on: which of its
  // other files read complete differs from kernel to kernel.
  dir_ = "/proc/" + std::to_string(getpid());
  // A copy of the same number from an earlier request with the same id.
  put(out_ + "/0", "older copy");
  EXPECT_EQ(text(list(dir_spec("pid", "status", "status"))),
            R"({"error":"Changed","reachable":false,"reason":"own-file-unreadable"})");
  // No copy is left of a file that did not pass, and the older one is kept.
  EXPECT_EQ(names_in(out_), std::vector<std::string>{"0"});
  EXPECT_EQ(get(out_ + "/0"), "older copy");
  ASSERT_EQ(unlink((out_ + "/0").c_str()), 0);
  OpResult other = list(dir_spec("pid", "status"));
  ASSERT_TRUE(other.has_value());
  Json changed = Json::parse(R"({"name":"status","reason":"Changed"})");
  const Json& records = (*other)["unreadable"];
  EXPECT_NE(std::find(records.begin(), records.end(), changed), records.end()) << records.dump();
  EXPECT_EQ(names_in(out_).size(), (*other)["entries"].size());
}

TEST_F(ListingTest, SizeLimitIsInclusive) {
  put(dir_ + "/four", "1234");
  put(dir_ + "/five", "12345");
  EXPECT_EQ(text(list(dir_spec("d", std::nullopt, std::nullopt, 4))),
            R"({"entries":[{"copy":"0","name":"four"}],"reachable":true,)"
            R"("unreadable":[{"name":"five","reason":"TooLarge"}]})");
}

TEST_F(ListingTest, EntryAndRecordLimits) {
  for (int i = 0; i < 1005; ++i) ASSERT_NO_FATAL_FAILURE(put(dir_ + "/" + std::to_string(10000 + i), "x"));
  OpResult result = list();
  ASSERT_TRUE(result.has_value()) << result.error();
  EXPECT_EQ((*result)["entries"].size(), 1000u);
  EXPECT_EQ((*result)["entries"][999], (Json{{"copy", "999"}, {"name", "10999"}}));
  Json expected = Json::array();
  for (int i = 1000; i < 1005; ++i) {
    expected.push_back({{"name", std::to_string(10000 + i)}, {"reason", "TooManyEntries"}});
  }
  EXPECT_EQ((*result)["unreadable"], expected);
  EXPECT_FALSE(present(out_ + "/1000"));
}

TEST_F(ListingTest, AtMostAHundredRecords) {
  for (int i = 0; i < 101; ++i) {
    ASSERT_NO_FATAL_FAILURE(link(outside_ + "/secret", dir_ + "/" + std::to_string(1000 + i)));
  }
  put(dir_ + "/zz", "last");
  OpResult result = list();
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ((*result)["reachable"], true);
  EXPECT_EQ((*result)["unreadable"].size(), 100u);
  EXPECT_EQ((*result)["unreadable"][99]["name"], "1099");
  EXPECT_EQ((*result)["entries"], Json::parse(R"([{"copy":"0","name":"zz"}])"));
}

TEST_F(ListingTest, SharedBudgetRefusesTheFileThatDoesNotFit) {
  put(dir_ + "/a", "12345");
  put(dir_ + "/b", "12345");
  put(dir_ + "/c", "123456");
  uint64_t budget = 10;
  EXPECT_EQ(text(list(dir_spec("d"), &budget)), R"({"reachable":false,"reason":"too-large"})");
  EXPECT_EQ(budget, 0u);  // a and b fit exactly
  EXPECT_EQ(get(out_ + "/1"), "12345");
  EXPECT_FALSE(present(out_ + "/2"));
  budget = 16;
  EXPECT_EQ(text(list(dir_spec("d"), &budget)).substr(0, 11), R"({"entries":)");
  EXPECT_EQ(budget, 0u);
}

TEST_F(ListingTest, ListingByteLimitIsInclusive) {
  // Sparse files: 4 x 32 MiB reach the limit exactly; nothing more fits.
  // Their copies are not sparse.
  if (std::string why = short_of_room(uint64_t{140} << 20); !why.empty()) GTEST_SKIP() << why;
  for (const char* name : {"a", "b", "c", "d"}) sparse(dir_ + "/" + name, 33'554'432);
  put(dir_ + "/e", "1");
  put(dir_ + "/f", "");
  OpResult result = list();
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ((*result)["entries"].size(), 4u);
  EXPECT_EQ((*result)["unreadable"], Json::parse(R"([{"name":"e","reason":"ListingTooLarge"},)"
                                                 R"({"name":"f","reason":"ListingTooLarge"}])"));
  EXPECT_EQ(std::filesystem::file_size(out_ + "/3"), 33'554'432u);
}

TEST_F(ListingTest, CopyFailureFailsTheListing) {
  put(dir_ + "/a", "A");
  out_ = at("not-made");
  EXPECT_EQ(text(list()), "error:NotFoundError");
}

TEST_F(ListingTest, LongFilesAreCopiedExactly) {
  if (std::string why = short_of_room(8 << 20); !why.empty()) GTEST_SKIP() << why;
  std::string content;
  for (int i = 0; content.size() < 3'000'000; ++i) content += std::to_string(i) + ",";
  put(dir_ + "/long", content);
  ASSERT_EQ(text(list()), R"({"entries":[{"copy":"0","name":"long"}],"reachable":true,"unreadable":[]})");
  EXPECT_EQ(get(out_ + "/0"), content);
}

// Entries flip between a file and a link to the outside while listings run:
// whatever the interleaving, no copy ever holds the outside's bytes.
TEST_F(ListingTest, LinksSwappedInNeverLeakTheOutside) {
  std::string entry = dir_ + "/flip";
  std::string staged_file = at("staged-file"), staged_link = at("staged-link");
  std::atomic<bool> stop{false};
  std::thread flipper([&] {
    for (int i = 0; !stop.load(); ++i) {
      if (i % 2 == 0) {
        put(staged_file, "inside");
        (void)!rename(staged_file.c_str(), entry.c_str());
      } else {
        (void)!symlink((outside_ + "/secret").c_str(), staged_link.c_str());
        (void)!rename(staged_link.c_str(), entry.c_str());
      }
    }
  });
  int copied = 0;
  for (int round = 0; round < 400; ++round) {
    OpResult result = list();
    ASSERT_TRUE(result.has_value());
    for (const Json& e : (*result)["entries"]) {
      ++copied;
      EXPECT_EQ(get(out_ + "/" + e["copy"].get<std::string>()), "inside");
    }
    for (const Json& r : (*result)["unreadable"]) {
      std::string reason = r["reason"].get<std::string>();
      EXPECT_TRUE(reason == "Symlink" || reason == "NotFoundError") << reason;
    }
  }
  stop = true;
  flipper.join();
  expect_outside_untouched();
}

}  // namespace
}  // namespace vorn::folder
