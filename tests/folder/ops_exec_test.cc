#include <stdio.h>

#include <atomic>
#include <thread>

#include "tests/folder/fs_fixture.h"

namespace vorn::folder {
namespace {

using testing::FsTest;
using testing::dir_spec;
using testing::text;

constexpr std::string_view kSymlink = R"({"error":"Symlink","reachable":false,"reason":"io-error"})";

class ExecTest : public FsTest {
 protected:
  std::string run(Op op, std::optional<std::string_view> require_top = std::nullopt,
                  const PayloadList& payloads = {}) {
    Request request{std::move(op), {}, "req1", root_, require_top};
    return text(execute_op(ServeContext{request_dir_}, request, root_fd().get(), payloads));
  }
};

TEST_F(ExecTest, RequireTopGatesEveryOperation) {
  put(at("top-file"), "x");
  make_dir(at("top"));
  link(outside_, at("top-link"));
  EXPECT_EQ(run(ExistsOp{"x"}, "top-file"), R"({"exists":false,"reachable":true})");
  EXPECT_EQ(run(ExistsOp{"x"}, "top"), R"({"exists":false,"reachable":true})");
  EXPECT_EQ(run(MakeDirOp{"made"}, "missing"), R"({"reachable":false,"reason":"no-vorn-dir"})");
  EXPECT_EQ(run(MakeDirOp{"made"}, "top-file/below"), "error:InvalidAccessError");
  EXPECT_EQ(run(MakeDirOp{"made"}, "top-link"), kSymlink);
  EXPECT_EQ(run(MakeDirOp{"made"}, "top-link/secret"), kSymlink);
  EXPECT_FALSE(present(at("made")));
}

TEST_F(ExecTest, ExistsNeverFollowsALink) {
  put(at("file"), "x");
  link(outside_ + "/secret", at("link"));
  link(outside_, at("dir-link"));
  EXPECT_EQ(run(ExistsOp{"file"}), R"({"exists":true,"reachable":true})");
  EXPECT_EQ(run(ExistsOp{"missing/deeper"}), R"({"exists":false,"reachable":true})");
  EXPECT_EQ(run(ExistsOp{"file/below"}), "error:InvalidAccessError");
  EXPECT_EQ(run(ExistsOp{"link"}), kSymlink);
  EXPECT_EQ(run(ExistsOp{"dir-link/secret"}), kSymlink);
}

TEST_F(ExecTest, MoveRenamesFilesOnly) {
  put(at("a"), "A");
  put(at("b"), "B");
  make_dir(at("dir"));
  EXPECT_EQ(run(MoveOp{"missing", "x"}), R"({"reachable":true})");
  EXPECT_FALSE(present(at("x")));
  EXPECT_EQ(run(MoveOp{"a", "a"}), R"({"error":"Exists","reachable":false,"reason":"io-error"})");
  EXPECT_EQ(run(MoveOp{"a", "b"}), R"({"error":"Exists","reachable":false,"reason":"io-error"})");
  EXPECT_EQ(get(at("b")), "B");
  EXPECT_EQ(run(MoveOp{"a", "no-such-dir/a"}), "error:NotFoundError");
  EXPECT_EQ(run(MoveOp{"dir", "dir2"}), R"({"error":"IsDirectory","reachable":false,"reason":"io-error"})");
  EXPECT_EQ(run(MoveOp{"a", "dir/a2"}), R"({"reachable":true})");
  EXPECT_EQ(get(at("dir/a2")), "A");
  EXPECT_FALSE(present(at("a")));
}

TEST_F(ExecTest, MoveNeverTouchesLinksOrTheOutside) {
  put(at("a"), "A");
  link(outside_ + "/secret", at("link"));
  link(outside_ + "/absent", at("dangling"));
  link(outside_, at("out"));
  EXPECT_EQ(run(MoveOp{"link", "moved"}), kSymlink);
  EXPECT_EQ(run(MoveOp{"a", "link"}), kSymlink);
  EXPECT_EQ(run(MoveOp{"a", "dangling"}), kSymlink);
  EXPECT_EQ(run(MoveOp{"a", "out/a"}), kSymlink);
  EXPECT_EQ(run(MoveOp{"out/secret", "stolen"}), kSymlink);
  EXPECT_EQ(get(at("a")), "A");
  EXPECT_FALSE(present(at("stolen")));
  expect_outside_untouched();
}

TEST_F(ExecTest, RemoveTakesLinksNotTheirTargets) {
  link(outside_, at("out"));
  link(outside_ + "/secret", at("link"));
  put(at("d/f"), "x");
  EXPECT_EQ(run(RemoveOp{"missing"}), R"({"reachable":true})");
  EXPECT_EQ(run(RemoveOp{"link"}), R"({"reachable":true})");
  EXPECT_EQ(run(RemoveOp{"out"}), R"({"reachable":true})");
  link(outside_, at("out"));
  EXPECT_EQ(run(RemoveOp{"out/secret"}), kSymlink);
  EXPECT_EQ(run(RemoveOp{"d"}), "error:OperationError");
  EXPECT_EQ(run(RemoveOp{"d/f"}), R"({"reachable":true})");
  EXPECT_EQ(run(RemoveOp{"d"}), R"({"reachable":true})");
  EXPECT_EQ(names_in(root_), std::vector<std::string>{"out"});
  expect_outside_untouched();
}

TEST_F(ExecTest, RemoveDirAndListNamesRefuseLinks) {
  link(outside_, at("out"));
  EXPECT_EQ(run(RemoveDirOp{"out"}), kSymlink);
  EXPECT_EQ(run(ListNamesOp{"out", std::nullopt}), kSymlink);
  EXPECT_EQ(run(RemoveDirOp{"missing"}), R"({"reachable":true,"removed":true})");
  EXPECT_EQ(run(ListNamesOp{"missing", "x"}), R"({"holding":[],"names":[],"reachable":true})");
  expect_outside_untouched();
}

TEST_F(ExecTest, MakeDirCreatesAncestorsAndRefusesFiles) {
  EXPECT_EQ(run(MakeDirOp{"a/b/c"}), R"({"reachable":true})");
  EXPECT_EQ(mode_of(at("a/b/c")) & 07777, 0755u);
  EXPECT_EQ(run(MakeDirOp{"a/b/c"}), R"({"reachable":true})");
  put(at("file"), "x");
  EXPECT_EQ(run(MakeDirOp{"file"}), "error:NoModificationAllowedError");
  link(outside_, at("out"));
  EXPECT_EQ(run(MakeDirOp{"out/new"}), kSymlink);
  // The last component is not probed: a link to a directory counts as made.
  EXPECT_EQ(run(MakeDirOp{"out"}), R"({"reachable":true})");
  expect_outside_untouched();
}

TEST_F(ExecTest, WriteFilesStopsAtTheFirstRefusal) {
  link(outside_, at("out"));
  EXPECT_EQ(run(WriteFilesOp{{"one", "sub/two", "out/three", "four"}}, std::nullopt,
                {"1", "2", "3", "4"}),
            kSymlink);
  EXPECT_EQ(get(at("one")), "1");
  EXPECT_EQ(get(at("sub/two")), "2");
  EXPECT_FALSE(present(at("four")));
  EXPECT_EQ(run(WriteFilesOp{{}}), R"({"reachable":true})");
  EXPECT_EQ(run(WriteOp{"w"}, std::nullopt, {"content"}), R"({"reachable":true})");
  EXPECT_EQ(get(at("w")), "content");
  expect_outside_untouched();
}

TEST_F(ExecTest, ReadDirCopiesIntoTheRequestFolder) {
  put(at("d/x.txt"), "X");
  link(outside_ + "/secret", at("d/y.txt"));
  EXPECT_EQ(run(ReadDirOp{dir_spec("d")}),
            R"({"entries":[{"copy":"0","name":"x.txt"}],"reachable":true,)"
            R"("unreadable":[{"name":"y.txt","reason":"Symlink"}]})");
  EXPECT_EQ(get(request_dir_ + "/files-req1/0"), "X");
  link(outside_, at("out"));
  EXPECT_EQ(run(ReadDirOp{dir_spec("out")}), kSymlink);
  EXPECT_EQ(names_in(request_dir_ + "/files-req1"), std::vector<std::string>{"0"});
}

TEST_F(ExecTest, ReadDirsNumbersFoldersAndStopsAtTheOwnFile) {
  put(at("a/one"), "1");
  put(at("b/two"), "22");
  EXPECT_EQ(run(ReadDirsOp{{}}), R"({"dirs":[],"reachable":true})");
  EXPECT_FALSE(present(request_dir_ + "/files-req1"));
  EXPECT_EQ(run(ReadDirsOp{{dir_spec("a"), dir_spec("b")}}),
            R"({"dirs":[{"entries":[{"copy":"0","name":"one"}],"unreadable":[]},)"
            R"({"entries":[{"copy":"0","name":"two"}],"unreadable":[]}],"reachable":true})");
  EXPECT_EQ(get(request_dir_ + "/files-req1/1/0"), "22");
}

TEST_F(ExecTest, ReadDirsAddsTheIndexOfAnOwnFileRefusal) {
  // /proc/<pid>/status grows past its reported size 0 on every Linux; as the
  // own file it fails the listing. Nothing else of /proc is relied on.
  root_ = "/proc";
  const std::string pid = std::to_string(getpid());
  EXPECT_EQ(run(ReadDirsOp{{dir_spec(pid, "nothing-ends-so"),
                            dir_spec(pid, "status", "status"),
                            dir_spec(pid)}}),
            R"({"dir":1,"error":"Changed","reachable":false,"reason":"own-file-unreadable"})");
  EXPECT_EQ(names_in(request_dir_ + "/files-req1"), (std::vector<std::string>{"0", "1"}));
}

// The budget is shared by all listings of one request: eight 32 MiB files
// use it up exactly, so the ninth listing's single byte is refused.
class ReadDirsBudgetTest : public ExecTest {
 protected:
  // The sources are sparse, the copies are not.
  static constexpr uint64_t kRoom = uint64_t{300} << 20;
  // Memory-backed where there is room for the copies (a container's
  // /dev/shm may hold only 64 MiB).
  std::string base_dir() const override {
    return room_in("/dev/shm") > 2 * kRoom ? "/dev/shm" : ExecTest::base_dir();
  }
};

TEST_F(ReadDirsBudgetTest, SharedBudgetEndsTheRequest) {
  if (std::string why = short_of_room(kRoom); !why.empty()) GTEST_SKIP() << why;
  std::vector<DirSpec> specs;
  std::vector<std::string> paths;
  for (int i = 0; i < 9; ++i) paths.push_back("d" + std::to_string(i));
  for (int i = 0; i < 8; ++i) {
    make_dir(at(paths[i]));
    sparse(at(paths[i] + "/f"), 33'554'432);
  }
  put(at("d8/f"), "1");
  for (const std::string& path : paths) specs.push_back(dir_spec(path));
  EXPECT_EQ(run(ReadDirsOp{specs}), R"({"reachable":false,"reason":"too-large"})");
  EXPECT_TRUE(present(request_dir_ + "/files-req1/7/0"));
  EXPECT_FALSE(present(request_dir_ + "/files-req1/8/0"));
  specs.pop_back();
  Request request{ReadDirsOp{specs}, {}, "req2", root_, std::nullopt};
  OpResult all = execute_op(ServeContext{request_dir_}, request, root_fd().get(), {});
  ASSERT_TRUE(all.has_value());
  EXPECT_EQ((*all)["dirs"].size(), 8u);
}

// A directory below the root and a link to the outside trade names all the
// time while requests run, here through the walk that goes one component at
// a time (kernels without beneath-resolution). Whatever the interleaving,
// every answer is the normal one or the "Symlink" refusal, and the outside
// is never read, listed, changed or added to.
TEST_F(ExecTest, SwappedDirectoryNeverLeadsOutsideWithoutKernelResolution) {
  use_kernel_resolution(false);
  put(at("d/inside"), "inside");
  link(outside_, at("l"));
  std::atomic<bool> stop{false};
  std::thread swapper([&] {
    while (!stop.load()) {
      (void)renameat2(AT_FDCWD, at("d").c_str(), AT_FDCWD, at("l").c_str(), RENAME_EXCHANGE);
    }
  });
  const std::string exists_false = R"({"exists":false,"reachable":true})";
  const std::string reachable = R"({"reachable":true})";
  struct Case {
    Op op;
    std::vector<std::string> answers;  // besides the "Symlink" refusal
  };
  std::vector<Case> cases = {
      {ExistsOp{"d/secret"}, {exists_false}},
      {WriteOp{"d/written"}, {reachable}},
      {MakeDirOp{"d/made"}, {reachable}},
      {RemoveOp{"d/secret"}, {reachable}},
      {MoveOp{"d/secret", "moved"}, {reachable}},
      {ListNamesOp{"d", std::nullopt}, {}},
      {ReadDirOp{dir_spec("d")}, {}},
  };
  for (Case& c : cases) {
    for (int round = 0; round < 300; ++round) {
      std::string answer = run(c.op, std::nullopt, {"payload"});
      if (answer == kSymlink) continue;
      if (std::holds_alternative<ListNamesOp>(c.op) || std::holds_alternative<ReadDirOp>(c.op)) {
        EXPECT_EQ(answer.find("secret"), std::string::npos) << answer;
        EXPECT_NE(answer.find("\"reachable\":true"), std::string::npos) << answer;
        continue;
      }
      EXPECT_NE(std::find(c.answers.begin(), c.answers.end(), answer), c.answers.end()) << answer;
    }
  }
  stop = true;
  swapper.join();
  use_kernel_resolution(true);
  expect_outside_untouched();
  EXPECT_FALSE(present(at("moved")) && get(at("moved")) == "outside secret");
  // Perhaps no listing got to copy anything: the swapper may stall on the link.
  const std::string copies = request_dir_ + "/files-req1";
  for (const std::string& copy : present(copies) ? names_in(copies) : std::vector<std::string>{}) {
    EXPECT_NE(get(copies + "/" + copy), "outside secret");
  }
}

}  // namespace
}  // namespace vorn::folder
