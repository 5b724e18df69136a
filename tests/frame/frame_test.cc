#include "frame/frame.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <thread>
#include <string>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

#include "frame/file.h"
#include "frame/unique_fd.h"

namespace vorn {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes header_of(std::uint32_t n) {
  return {static_cast<std::uint8_t>(n >> 24), static_cast<std::uint8_t>(n >> 16),
          static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)};
}

Bytes frame_of(std::string_view body) {
  Bytes out = header_of(static_cast<std::uint32_t>(body.size()));
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

// A scripted stream: each step hands out up to one chunk of bytes (never
// more than asked for; the rest of the chunk stays for the next read), or
// fails once with an error. After the script it reports the end.
class FakeSource {
 public:
  using Step = std::variant<Bytes, Error>;

  explicit FakeSource(std::vector<Step> steps) : steps_(steps.begin(), steps.end()) {}

  ByteSource source() {
    return [this](std::span<std::uint8_t> buffer) -> Result<std::size_t> {
      ++reads_;
      if (steps_.empty()) return 0;
      if (auto* error = std::get_if<Error>(&steps_.front())) {
        Error copy = *error;
        steps_.pop_front();
        return fail(copy);
      }
      auto& chunk = std::get<Bytes>(steps_.front());
      std::size_t n = std::min(buffer.size(), chunk.size());
      std::memcpy(buffer.data(), chunk.data(), n);
      chunk.erase(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(n));
      if (chunk.empty()) steps_.pop_front();
      consumed_ += n;
      return n;
    };
  }

  std::size_t consumed() const { return consumed_; }
  int reads() const { return reads_; }

 private:
  std::deque<Step> steps_;
  std::size_t consumed_ = 0;
  int reads_ = 0;
};

// Splits `bytes` into chunks of `size` bytes.
std::vector<FakeSource::Step> chunks(const Bytes& bytes, std::size_t size) {
  std::vector<FakeSource::Step> steps;
  for (std::size_t i = 0; i < bytes.size(); i += size) {
    steps.emplace_back(Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(i),
                             bytes.begin() + static_cast<std::ptrdiff_t>(std::min(bytes.size(), i + size))));
  }
  return steps;
}

Result<std::optional<Json>> read_from(std::vector<FakeSource::Step> steps) {
  FakeSource fake(std::move(steps));
  return read_frame(fake.source());
}

Result<std::optional<Json>> read_body(std::string_view body) { return read_from({frame_of(body)}); }

Error interrupted() { return Error::from_errno(EINTR); }

TEST(ReadFrameTest, EndBeforeAnyByteIsACleanEnd) {
  auto result = read_from({});
  ASSERT_TRUE(result.has_value());
  EXPECT_FALSE(result->has_value());
}

TEST(ReadFrameTest, EndInsideTheHeaderOrBodyIsUnexpectedEof) {
  for (std::size_t have = 1; have <= 3; ++have) {
    auto result = read_from({Bytes(have, 0)});
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind, ErrorKind::kUnexpectedEof);
    EXPECT_EQ(result.error().message, "") << have;
  }
  Bytes cut = frame_of("[1,2,3]");
  cut.pop_back();
  auto result = read_from({cut});
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind, ErrorKind::kUnexpectedEof);
  EXPECT_EQ(result.error().message, "failed to fill whole buffer");
}

TEST(ReadFrameTest, AssemblesFramesFromAnySplitOfReads) {
  Bytes frame = frame_of(R"({"a":[true,null],"b":"x"})");
  for (std::size_t size : {1u, 2u, 3u, 5u, 1000u}) {
    FakeSource fake(chunks(frame, size));
    auto result = read_frame(fake.source());
    ASSERT_TRUE(result.has_value()) << size << ": " << result.error().text();
    ASSERT_TRUE(result->has_value());
    EXPECT_EQ(write_json(**result), R"({"a":[true,null],"b":"x"})");
  }
  // Two frames back to back: the first read leaves the second untouched.
  Bytes two = frame_of("1");
  Bytes second = frame_of("\"two\"");
  two.insert(two.end(), second.begin(), second.end());
  FakeSource fake({two});
  EXPECT_EQ(read_frame(fake.source()).value().value(), Json(1u));
  EXPECT_EQ(read_frame(fake.source()).value().value(), Json("two"));
  EXPECT_FALSE(read_frame(fake.source()).value().has_value());
}

TEST(ReadFrameTest, EnforcesTheLimitBeforeReadingTheBody) {
  std::string largest = "\"" + std::string(FRAME_LIMIT - 2, 'a') + "\"";
  auto result = read_body(largest);
  ASSERT_TRUE(result.has_value()) << result.error().text();
  EXPECT_EQ((*result)->get_ref<const std::string&>().size(), FRAME_LIMIT - 2);

  for (std::uint32_t declared : {static_cast<std::uint32_t>(FRAME_LIMIT + 1), 0xFFFFFFFFu}) {
    Bytes frame = header_of(declared);
    frame.resize(frame.size() + 16, 'x');  // a body that must stay unread
    FakeSource fake({frame});
    auto refused = read_frame(fake.source());
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error().kind, ErrorKind::kInvalidData);
    EXPECT_EQ(refused.error().message, "declared frame exceeds the limit");
    EXPECT_EQ(fake.consumed(), 4u);
  }
}

TEST(ReadFrameTest, ParsesTheBodyAsExactlyOneValue) {
  auto empty = read_from({header_of(0)});
  ASSERT_FALSE(empty.has_value());
  EXPECT_EQ(empty.error().kind, ErrorKind::kUnexpectedEof);
  EXPECT_EQ(empty.error().message, "EOF while parsing a value at line 1 column 0");

  EXPECT_EQ(read_body("  {}\r\n").value().value(), Json::object());
  for (const char* bare : {"7", "\"s\"", "null", "[1]", "-2.5"}) {
    EXPECT_EQ(write_json(read_body(bare).value().value()), bare);
  }

  auto trailing = read_body("{} a");
  ASSERT_FALSE(trailing.has_value());
  EXPECT_EQ(trailing.error().kind, ErrorKind::kInvalidData);
  EXPECT_EQ(trailing.error().message, "trailing characters at line 1 column 4");

  std::string deep(127, '[');
  deep += std::string(127, ']');
  EXPECT_TRUE(read_body(deep).has_value());
  auto too_deep = read_body("[" + deep + "]");
  ASSERT_FALSE(too_deep.has_value());
  EXPECT_EQ(too_deep.error().kind, ErrorKind::kInvalidData);
  EXPECT_EQ(too_deep.error().message, "recursion limit exceeded at line 1 column 128");

  auto cut = read_body("[1,");
  ASSERT_FALSE(cut.has_value());
  EXPECT_EQ(cut.error().kind, ErrorKind::kUnexpectedEof);

  auto bad_utf8 = read_body("\"\xFF\"");
  ASSERT_FALSE(bad_utf8.has_value());
  EXPECT_EQ(bad_utf8.error().kind, ErrorKind::kInvalidData);
}

TEST(ReadFrameTest, InterruptionEndsTheHeaderButIsRetriedInTheBody) {
  Bytes frame = frame_of("[1,2]");
  auto in_header = read_from({Bytes(frame.begin(), frame.begin() + 2), interrupted(),
                              Bytes(frame.begin() + 2, frame.end())});
  ASSERT_FALSE(in_header.has_value());
  EXPECT_EQ(in_header.error().kind, ErrorKind::kInterrupted);

  auto in_body = read_from({Bytes(frame.begin(), frame.begin() + 6), interrupted(), interrupted(),
                            Bytes(frame.begin() + 6, frame.end())});
  ASSERT_TRUE(in_body.has_value()) << in_body.error().text();
  EXPECT_EQ(write_json(**in_body), "[1,2]");

  auto other = read_from({Bytes(frame.begin(), frame.begin() + 6), Error::from_errno(ECONNRESET)});
  ASSERT_FALSE(other.has_value());
  EXPECT_EQ(other.error().os_error, ECONNRESET);
}

TEST(EncodeFrameTest, WritesTheBigEndianLengthAndCompactSortedBody) {
  auto frame = encode_frame(parse_json(R"({"b":1,"a":[true,null]})").value());
  ASSERT_TRUE(frame.has_value());
  std::string body = R"({"a":[true,null],"b":1})";
  Bytes expected = {0, 0, 0, 0x17};
  expected.insert(expected.end(), body.begin(), body.end());
  EXPECT_EQ(*frame, expected);
  EXPECT_EQ(frame->size(), 27u);
}

TEST(EncodeFrameTest, AcceptsBodiesUpToTheLimitOnly) {
  Json largest = std::string(FRAME_LIMIT - 2, 'z');  // quotes make it FRAME_LIMIT bytes
  auto frame = encode_frame(largest);
  ASSERT_TRUE(frame.has_value());
  EXPECT_EQ(frame->size(), 1048580u);
  EXPECT_EQ(Bytes(frame->begin(), frame->begin() + 4), (Bytes{0x00, 0x10, 0x00, 0x00}));
  // What the encoder accepts the reader accepts too.
  EXPECT_EQ(read_from({*frame}).value().value(), largest);

  Json one_more = std::string(FRAME_LIMIT - 1, 'z');
  EXPECT_FALSE(encode_frame(one_more).has_value());
}

// --- sockets -------------------------------------------------------------------

struct SocketPair {
  UniqueFd near, far;
};

SocketPair socket_pair() {
  int fds[2];
  EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  return {UniqueFd(fds[0]), UniqueFd(fds[1])};
}

// Bytes waiting on `fd` without blocking (0 when none).
std::size_t pending_bytes(int fd) {
  std::uint8_t buffer[64];
  ssize_t got = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT | MSG_PEEK);
  return got < 0 ? 0 : static_cast<std::size_t>(got);
}

TEST(WriteFrameTest, SendsFramesThatReadFrameReturns) {
  SocketPair pair = socket_pair();
  Json value = parse_json(R"({"id":1.0,"method":"ping","params":{"z":[],"a":"\u00e9"}})").value();
  ASSERT_TRUE(write_frame(pair.near.get(), value).has_value());
  ASSERT_TRUE(write_frame(pair.near.get(), Json(-3)).has_value());
  ByteSource source = socket_source(pair.far.get());
  EXPECT_EQ(write_json(read_frame(source).value().value()), write_json(value));
  EXPECT_EQ(read_frame(source).value().value(), Json(-3));
  ASSERT_TRUE(pair.near.close().has_value());
  EXPECT_FALSE(read_frame(source).value().has_value());
}

TEST(WriteFrameTest, RefusesOversizedValuesWithoutSendingAnything) {
  SocketPair pair = socket_pair();
  auto sent = write_frame(pair.near.get(), Json(std::string(FRAME_LIMIT - 1, 'z')));
  ASSERT_FALSE(sent.has_value());
  EXPECT_EQ(sent.error().kind, ErrorKind::kInvalidData);
  EXPECT_EQ(sent.error().text(), "frame exceeds the limit");
  EXPECT_EQ(pending_bytes(pair.far.get()), 0u);
}

TEST(WriteFrameTest, ClosedPeerGivesBrokenPipeNotASignal) {
  SocketPair pair = socket_pair();
  pair.far.reset();
  auto sent = write_frame(pair.near.get(), Json("x"));
  ASSERT_FALSE(sent.has_value());
  EXPECT_EQ(sent.error().os_error, EPIPE);
  EXPECT_EQ(sent.error().kind, ErrorKind::kBrokenPipe);
}

TEST(FdSourceTest, ReadsFramesFromAPipe) {
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  UniqueFd read_end(fds[0]), write_end(fds[1]);
  auto frame = encode_frame(Json::array({1, "a"}));
  ASSERT_TRUE(frame.has_value());
  ASSERT_EQ(::write(write_end.get(), frame->data(), frame->size()), static_cast<ssize_t>(frame->size()));
  write_end.reset();
  ByteSource source = fd_source(read_end.get());
  EXPECT_EQ(write_json(read_frame(source).value().value()), "[1,\"a\"]");
  EXPECT_FALSE(read_frame(source).value().has_value());
}

std::chrono::microseconds receive_timeout(int fd) {
  timeval tv{};
  socklen_t len = sizeof tv;
  EXPECT_EQ(::getsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, &len), 0);
  return std::chrono::seconds(tv.tv_sec) + std::chrono::microseconds(tv.tv_usec);
}

TEST(DeadlineReaderTest, PassedDeadlineTimesOutBeforeReading) {
  SocketPair pair = socket_pair();
  Bytes frame = frame_of("1");
  ASSERT_TRUE(send_all(pair.far.get(), frame).has_value());
  DeadlineReader reader{pair.near.get(), std::chrono::steady_clock::now() - std::chrono::seconds(1)};
  auto result = read_frame_deadline(reader);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind, ErrorKind::kTimedOut);
  EXPECT_EQ(result.error().text(), "timed out");
  EXPECT_EQ(pending_bytes(pair.near.get()), frame.size());  // nothing was taken

  // An empty buffer needs no read, so no deadline test either.
  EXPECT_TRUE(read_exact_deadline(reader, {}).has_value());
}

TEST(DeadlineReaderTest, SilentPeerGivesTheWouldBlockError) {
  SocketPair pair = socket_pair();
  // Long enough that a loaded machine still reaches the receive before the
  // deadline passes (which would give TimedOut instead).
  DeadlineReader reader{pair.near.get(), std::chrono::steady_clock::now() + std::chrono::seconds(1)};
  auto result = read_frame_deadline(reader);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind, ErrorKind::kWouldBlock);
  EXPECT_EQ(result.error().os_error, EAGAIN);
  // The time-out set for the last receive stays on the socket (the kernel
  // rounds it up to its clock tick).
  auto timeout = receive_timeout(pair.near.get());
  EXPECT_GT(timeout.count(), 0);
  EXPECT_LE(timeout, std::chrono::seconds(1));
}

TEST(DeadlineReaderTest, ReadsFramesAndReportsTheirErrors) {
  SocketPair pair = socket_pair();
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  DeadlineReader reader{pair.near.get(), deadline};
  ASSERT_TRUE(write_frame(pair.far.get(), parse_json(R"({"type":"hello"})").value()).has_value());
  EXPECT_EQ(write_json(read_frame_deadline(reader).value().value()), R"({"type":"hello"})");
  EXPECT_GT(receive_timeout(pair.near.get()), std::chrono::seconds(25));

  Bytes cut = frame_of("[1,2]");
  cut.resize(6);
  ASSERT_TRUE(send_all(pair.far.get(), cut).has_value());
  pair.far.reset();
  auto result = read_frame_deadline(reader);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind, ErrorKind::kUnexpectedEof);
  EXPECT_EQ(result.error().message, "failed to fill whole buffer");
  // The peer is gone: the next read sees a clean end.
  EXPECT_FALSE(read_frame_deadline(reader).value().has_value());
}

TEST(DeadlineReaderTest, OversizedDeclarationLeavesTheBodyUnread) {
  SocketPair pair = socket_pair();
  Bytes frame = header_of(static_cast<std::uint32_t>(FRAME_LIMIT + 1));
  frame.resize(frame.size() + 8, ' ');
  ASSERT_TRUE(send_all(pair.far.get(), frame).has_value());
  DeadlineReader reader{pair.near.get(), std::chrono::steady_clock::now() + std::chrono::seconds(30)};
  auto result = read_frame_deadline(reader);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().message, "declared frame exceeds the limit");
  EXPECT_EQ(pending_bytes(pair.near.get()), 8u);
}

// --- whole files and whole writes ------------------------------------------------

TEST(WholeFileTest, ReadsUpToTheBoundAndNoFurther) {
  std::string path = ::testing::TempDir() + "vorn-whole-file-XXXXXX";
  UniqueFd fd(::mkostemp(path.data(), O_CLOEXEC));
  ASSERT_TRUE(fd) << path << ": " << std::strerror(errno);
  struct Unlink {  // however the checks below end
    std::string path;
    ~Unlink() { ::unlink(path.c_str()); }
  } remove{path};
  ASSERT_EQ(::write(fd.get(), "12345", 5), 5) << path << ": " << std::strerror(errno);
  EXPECT_EQ(read_whole_file(path, 5).value(), "12345");
  Result<std::string> over = read_whole_file(path, 4);
  ASSERT_FALSE(over.has_value());
  EXPECT_EQ(over.error().kind, ErrorKind::kInvalidData);
  // Endless, and a file that says size 0 but reads more: neither is trusted
  // for its size.
  EXPECT_EQ(read_whole_file("/dev/zero", 1 << 16).error().kind, ErrorKind::kInvalidData);
  Result<std::string> status = read_whole_file("/proc/self/status", 1 << 20);
  ASSERT_TRUE(status.has_value()) << status.error().text();
  EXPECT_TRUE(status->starts_with("Name:"));
  EXPECT_EQ(read_whole_file("/proc/self/status", 8).error().kind, ErrorKind::kInvalidData);
}

TEST(WholeFileTest, RegularOnlyReadsNothingFromAnyOtherKindOfFile) {
  std::string dir = ::testing::TempDir() + "vorn-regular-XXXXXX";
  ASSERT_NE(::mkdtemp(dir.data()), nullptr);
  struct Cleanup {
    const std::string& dir;
    ~Cleanup() {
      std::error_code ignored;
      std::filesystem::remove_all(dir, ignored);
    }
  } cleanup{dir};
  const std::string plain = dir + "/plain", link = dir + "/link", fifo = dir + "/fifo";
  {
    UniqueFd fd(::open(plain.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    ASSERT_TRUE(fd);
    ASSERT_EQ(::write(fd.get(), "12345", 5), 5);
  }
  ASSERT_EQ(::symlink(plain.c_str(), link.c_str()), 0);
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // A regular file, also through a link, reads as before, bound included.
  EXPECT_EQ(read_regular_file(plain, 5).value(), "12345");
  EXPECT_EQ(read_regular_file(link, 5).value(), "12345");
  EXPECT_EQ(read_regular_file(plain, 4).error().kind, ErrorKind::kInvalidData);
  EXPECT_EQ(read_regular_file(dir + "/absent", 5).error().kind, ErrorKind::kNotFound);

  // A FIFO and a pipe reached through /proc/self/fd, each holding bytes that
  // a writer put there: refused, and the bytes are still there afterwards.
  UniqueFd fifo_in(::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  UniqueFd fifo_out(::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
  ASSERT_TRUE(fifo_in && fifo_out);
  ASSERT_EQ(::write(fifo_out.get(), "abc", 3), 3);
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
  UniqueFd pipe_in(fds[0]), pipe_out(fds[1]);
  ASSERT_EQ(::write(pipe_out.get(), "abc", 3), 3);
  const std::string own_pipe = "/proc/self/fd/" + std::to_string(pipe_in.get());
  for (const std::string& path : {fifo, own_pipe}) {
    Result<std::string> refused = read_regular_file(path, 1 << 16);
    ASSERT_FALSE(refused.has_value()) << path;
    EXPECT_EQ(refused.error().kind, ErrorKind::kInvalidInput) << path;
  }
  const auto queued = [](int fd) {
    int n = -1;
    return ::ioctl(fd, FIONREAD, &n) == 0 ? n : -1;
  };
  EXPECT_EQ(queued(fifo_in.get()), 3);
  EXPECT_EQ(queued(pipe_in.get()), 3);
  // Devices and directories, which read_whole_file would open and read.
  for (const std::string& path : {std::string("/dev/null"), std::string("/dev/zero"), dir}) {
    Result<std::string> refused = read_regular_file(path, 1 << 16);
    ASSERT_FALSE(refused.has_value()) << path;
    EXPECT_EQ(refused.error().kind, ErrorKind::kInvalidInput) << path;
  }
  EXPECT_EQ(read_whole_file("/dev/null", 8).value(), "");
}

TEST(WholeWriteTest, WaitsOnAFullNonBlockingPipe) {
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
  UniqueFd read_end(fds[0]), write_end(fds[1]);
  const std::string bytes(1 << 20, 'x');
  std::string got;
  std::thread reader([&] {
    char buffer[4096];
    for (;;) {
      pollfd pfd{read_end.get(), POLLIN, 0};
      if (::poll(&pfd, 1, -1) < 0 && errno != EINTR) return;
      const ssize_t n = ::read(read_end.get(), buffer, sizeof buffer);
      if (n == 0) return;
      if (n > 0) got.append(buffer, static_cast<std::size_t>(n));
    }
  });
  EXPECT_TRUE(write_all(write_end.get(), bytes).has_value());
  write_end.reset();
  reader.join();
  EXPECT_EQ(got.size(), bytes.size());
}

TEST(WholeWriteTest, ASendTimeOutStaysAnError) {
  SocketPair pair = socket_pair();
  timeval tv{0, 20'000};
  ASSERT_EQ(::setsockopt(pair.near.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv), 0);
  // Nobody reads: once the socket is full the time-out expires.
  Status written = write_all(pair.near.get(), std::string(16 << 20, 'x'));
  ASSERT_FALSE(written.has_value());
  EXPECT_EQ(written.error().os_error, EAGAIN);
}

}  // namespace
}  // namespace vorn
