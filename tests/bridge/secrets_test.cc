#include "bridge/secrets.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "tests/bridge/bounded_child.h"
#include "tests/bridge/temp_dir.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;

using testing::TempDir;

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

void write_file(const fs::path& path, std::string_view content) {
  testing::write_file(path, content);
}

// A save's outcome, with the reason when it failed (such as a full disk).
::testing::AssertionResult saved_ok(const Status& status) {
  if (status) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << status.error().text();
}

mode_t mode_of(const fs::path& path) {
  struct stat st {};
  VORN_CHECK(::stat(path.c_str(), &st) == 0);
  return st.st_mode & 07777;
}

std::vector<std::string> names_in(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(ShortDigest, IsTheFirstHalfOfSha256) {
  EXPECT_EQ(short_digest("abc"), "ba7816bf8f01cfea414140de5dae2223");
  EXPECT_EQ(short_digest(""), "e3b0c44298fc1c149afbf4c8996fb924");
  DirSecretStore store("/x/vorn-agents");
  EXPECT_EQ(store.secret_path("abc"), "/x/vorn-agents/secret-ba7816bf8f01cfea414140de5dae2223.json");
  EXPECT_EQ(agents_dir("/p"), "/p/vorn-agents");
  EXPECT_EQ(agents_dir("/p/"), "/p/vorn-agents");
}

TEST(DecodeCredentials, AcceptsObjectsAndPairsOnly) {
  using nlohmann::json;
  EXPECT_EQ(decode_credentials(json::array({"a", "s"})), (Credentials{"a", "s"}));
  EXPECT_EQ(decode_credentials(json{{"secret", "s"}, {"agent_id", "a"}, {"x", 1}}),
            (Credentials{"a", "s"}));
  for (const json& bad : {json(nullptr), json("a"), json::array(), json::array({"a"}),
                          json::array({"a", "b", "c"}), json::array({"a", 1}),
                          json{{"agent_id", "a"}}, json{{"agent_id", 1}, {"secret", "s"}}}) {
    EXPECT_FALSE(decode_credentials(bad).has_value()) << bad.dump();
  }
}

TEST(DirSecretStore, LoadsTheFileFormsAndRefusesTheRest) {
  TempDir tmp;
  DirSecretStore store(tmp.path());
  const fs::path file = store.secret_path("k");
  const auto load_of = [&](std::string_view content) {
    write_file(file, content);
    return store.load("k");
  };
  EXPECT_EQ(load_of(R"(["id","sec"])"), (Credentials{"id", "sec"}));
  EXPECT_EQ(load_of(" {\"secret\":\"s\",\"extra\":[1],\"agent_id\":\"a\"}\r\n\t"),
            (Credentials{"a", "s"}));
  for (std::string_view bad :
       {R"({"agent_id":"a"})", R"(["a"])", R"(["a","b","c"])", R"({"agent_id":1,"secret":"s"})",
        R"({"agent_id":"a","secret":"s"}x)", R"({"agent_id":"a","secret":"s","secret":"t"})",
        "", "null"}) {
    EXPECT_EQ(load_of(bad), std::nullopt) << bad;
  }
  fs::remove(file);
  EXPECT_EQ(store.load("k"), std::nullopt);
}

TEST(DirSecretStore, SavesPrivatelyAndWhole) {
  TempDir tmp;
  const fs::path dir = tmp.path() / "vorn-agents";
  DirSecretStore store(dir);
  const mode_t old_umask = ::umask(0);  // show that the modes do not rely on the umask
  Status saved = store.save("acct", {"id-1", "se\"cret"});
  ::umask(old_umask);
  ASSERT_TRUE(saved.has_value()) << saved.error().text();
  EXPECT_EQ(mode_of(dir), 0700u);
  const fs::path file = store.secret_path("acct");
  EXPECT_EQ(mode_of(file), 0600u);
  EXPECT_EQ(read_file(file), R"({"agent_id":"id-1","secret":"se\"cret"})");
  EXPECT_EQ(names_in(dir), std::vector<std::string>{file.filename()});
  EXPECT_EQ(store.load("acct"), (Credentials{"id-1", "se\"cret"}));

  // A later save replaces the pair; the empty key is a key of its own.
  ASSERT_TRUE(saved_ok(store.save("acct", {"id-2", "s2"})));
  ASSERT_TRUE(saved_ok(store.save("", {"e", "f"})));
  EXPECT_EQ(store.load("acct"), (Credentials{"id-2", "s2"}));
  EXPECT_EQ(store.load(""), (Credentials{"e", "f"}));
  EXPECT_EQ(names_in(dir).size(), 2u);

  store.remove("acct");
  store.remove("acct");  // nothing left to remove: still silent
  EXPECT_EQ(store.load("acct"), std::nullopt);
  EXPECT_EQ(store.load(""), (Credentials{"e", "f"}));
}

TEST(DirSecretStore, TightensAnOpenDirectoryAndLeavesAPrivateOneAlone) {
  TempDir tmp;
  const fs::path dir = tmp.path() / "vorn-agents";
  ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
  ASSERT_EQ(::chmod(dir.c_str(), 0755), 0);
  DirSecretStore store(dir);
  ASSERT_TRUE(saved_ok(store.save("k", {"a", "b"})));
  EXPECT_EQ(mode_of(dir), 0700u);

  // Owner-only already: a save must not "repair" it to 0700.
  ASSERT_EQ(::chmod(dir.c_str(), 0500), 0);
  (void)store.save("k", {"a", "b"});
  EXPECT_EQ(mode_of(dir), 0500u);
  ASSERT_EQ(::chmod(dir.c_str(), 0700), 0);
}

TEST(DirSecretStore, FailedSavesReportAndLeaveTheOlderFile) {
  TempDir tmp;
  DirSecretStore missing(tmp.path() / "no-profile" / "vorn-agents");
  Status saved = missing.save("k", {"a", "b"});
  ASSERT_FALSE(saved.has_value());
  EXPECT_TRUE(saved.error().text().ends_with(" (os error 2)")) << saved.error().text();
  EXPECT_FALSE(fs::exists(tmp.path() / "no-profile"));

  // A write cut short by the file-size limit must not touch the older pair
  // nor leave its temporary file behind. Run it in a child so the limit
  // does not outlive the test.
  const fs::path dir = tmp.path() / "vorn-agents";
  DirSecretStore store(dir);
  ASSERT_TRUE(saved_ok(store.save("k", {"old", "pair"})));
  EXPECT_TRUE(testing::finishes_in_child(
      [&] {
        ::signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit {16, 16};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        Status result = store.save("k", {std::string(100, 'n'), std::string(100, 'e')});
        ::_exit(!result.has_value() &&
                        result.error().text().find("(os error 27)") != std::string::npos
                    ? 0
                    : 1);
      },
      std::chrono::seconds(20)));
  EXPECT_EQ(store.load("k"), (Credentials{"old", "pair"}));
  EXPECT_EQ(names_in(dir), std::vector<std::string>{store.secret_path("k").filename()});
}

TEST(SweepStaleLocks, RemovesOnlyUnheldLockFiles) {
  TempDir tmp;
  const fs::path dir = tmp.path();
  for (const char* name : {"live-1.lock", "live-2.lock", "live-.lock", "live-1.lck",
                           "alive-1.lock", "live-\xff.lock"}) {
    write_file(dir / name, "");
  }
  fs::create_directory(dir / "live-dir.lock");  // cannot be opened for writing
  // A browser instance that still lives holds its lock.
  int held = ::open((dir / "live-2.lock").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(held, 0);
  ASSERT_EQ(::flock(held, LOCK_SH), 0);

  sweep_stale_locks(dir);
  ::close(held);

  EXPECT_EQ(names_in(dir), (std::vector<std::string>{"alive-1.lock", "live-1.lck", "live-2.lock",
                                                     "live-dir.lock", "live-\xff.lock"}));
  sweep_stale_locks(dir / "missing");  // silent
}

TEST(SweepStaleLocks, AFifoNeverStopsTheBridge) {
  TempDir tmp;
  DirSecretStore store(tmp.path());
  ASSERT_EQ(::mkfifo((tmp.path() / "live-fifo.lock").c_str(), 0600), 0);
  ASSERT_EQ(::mkfifo(store.secret_path("k").c_str(), 0600), 0);
  EXPECT_TRUE(testing::finishes_in_child(
      [&] {
        sweep_stale_locks(tmp.path());
        if (store.load("k").has_value()) ::_exit(1);
      },
      std::chrono::seconds(20)));
  EXPECT_TRUE(fs::exists(tmp.path() / "live-fifo.lock"));
}

}  // namespace
}  // namespace vorn
