#include "bridge/stdin.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bridge/channel.h"
#include "frame/unique_fd.h"

namespace vorn {
namespace {

using namespace std::chrono_literals;

// A pipe whose read end the reader thread takes, and the events it sent.
class StdinReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    read_end_ = UniqueFd(fds[0]);
    write_end_ = UniqueFd(fds[1]);
    auto [sender, receiver] = make_channel<BridgeEvent>();
    receiver_.emplace(std::move(receiver));
    reader_ = std::thread(stdin_reader_thread, read_end_.get(), shared_, std::move(sender));
  }
  void TearDown() override {
    write_end_.reset();
    if (reader_.joinable()) reader_.join();
  }

  void write(std::string_view bytes) {
    ASSERT_EQ(::write(write_end_.get(), bytes.data(), bytes.size()),
              static_cast<ssize_t>(bytes.size()));
  }
  void close_input() { write_end_.reset(); }

  // The next event, waiting at most a generous bound for it.
  BridgeEvent next() {
    std::optional<BridgeEvent> event;
    EXPECT_EQ(receiver_->recv_for(10s, event), RecvStatus::kValue);
    if (!event) return StdinClosed{};
    return std::move(*event);
  }
  std::string next_line() {
    BridgeEvent event = next();
    auto* line = std::get_if<AgentLine>(&event);
    if (!line) return "<not a line>";
    if (!line->line) return "<error: " + line->line.error().text() + ">";
    return *line->line;
  }
  bool next_is_closed() { return std::holds_alternative<StdinClosed>(next()); }
  // True when the reader sent everything and stopped: the channel ends.
  bool channel_ended() {
    if (reader_.joinable()) reader_.join();
    std::optional<BridgeEvent> event;
    return receiver_->recv_for(0s, event) == RecvStatus::kDisconnected;
  }

  std::shared_ptr<StdinShared> shared_ = std::make_shared<StdinShared>();
  UniqueFd read_end_;
  UniqueFd write_end_;
  std::optional<EventReceiver> receiver_;
  std::thread reader_;
};

TEST_F(StdinReaderTest, SplitsLinesAndStripsOneCarriageReturn) {
  write("first\nsecond\r\nthird\r\r\nin\rside\n\n");
  EXPECT_EQ(next_line(), "first");
  EXPECT_EQ(next_line(), "second");
  EXPECT_EQ(next_line(), "third\r");
  EXPECT_EQ(next_line(), "in\rside");
  EXPECT_EQ(next_line(), "");
  {
    std::lock_guard lock(shared_->mutex);
    EXPECT_EQ(shared_->pending_lines, 5u);
    EXPECT_TRUE(shared_->buffer.empty());
    EXPECT_FALSE(shared_->closed);
  }
  close_input();
  EXPECT_TRUE(next_is_closed());
  EXPECT_TRUE(channel_ended());
}

TEST_F(StdinReaderTest, AssemblesLinesAcrossReadsAndDeliversTheLastPartialLine) {
  write("{\"a\":");
  // The partial line waits in the shared buffer, not in the channel.
  const auto give_up = std::chrono::steady_clock::now() + 20s;
  while (std::chrono::steady_clock::now() < give_up) {
    {
      std::lock_guard lock(shared_->mutex);
      if (shared_->buffer == "{\"a\":") break;
    }
    std::this_thread::sleep_for(1ms);
  }
  {
    std::lock_guard lock(shared_->mutex);
    EXPECT_EQ(shared_->buffer, "{\"a\":");
    EXPECT_EQ(shared_->pending_lines, 0u);
  }
  write("1}\r\ntail\r");
  EXPECT_EQ(next_line(), "{\"a\":1}");
  close_input();
  // No newline was seen, so the carriage return stays.
  EXPECT_EQ(next_line(), "tail\r");
  EXPECT_TRUE(next_is_closed());
  std::lock_guard lock(shared_->mutex);
  EXPECT_TRUE(shared_->closed);
  EXPECT_EQ(shared_->pending_lines, 1u);
}

TEST_F(StdinReaderTest, LongLinesSurviveManyReads) {
  const std::string big(3 * 1024 * 1024 + 17, 'x');
  std::thread writer([&] {
    std::string all = big + "\nafter\n";
    const char* p = all.data();
    std::size_t left = all.size();
    while (left > 0) {
      const ssize_t n = ::write(write_end_.get(), p, left);
      if (n <= 0) return;
      p += n;
      left -= static_cast<std::size_t>(n);
    }
  });
  EXPECT_EQ(next_line(), big);
  EXPECT_EQ(next_line(), "after");
  writer.join();
}

TEST_F(StdinReaderTest, InvalidUtf8StopsTheReaderWithoutReadingFurther) {
  write("ok\nbad\xff line\nnever\n");
  EXPECT_EQ(next_line(), "ok");
  EXPECT_EQ(next_line(), "<error: invalid utf-8 sequence of 1 bytes from index 3>");
  // No StdinClosed follows an error; the reader is gone.
  EXPECT_TRUE(channel_ended());
  std::lock_guard lock(shared_->mutex);
  EXPECT_TRUE(shared_->closed);
}

TEST_F(StdinReaderTest, EndRightAfterANewlineSendsOnlyTheClosing) {
  write("one\n");
  EXPECT_EQ(next_line(), "one");
  close_input();
  EXPECT_TRUE(next_is_closed());
  EXPECT_TRUE(channel_ended());
}

TEST_F(StdinReaderTest, InvalidLastPartialLineIsAnErrorBeforeTheClosing) {
  write("\xe2\x82");
  close_input();
  EXPECT_EQ(next_line(), "<error: incomplete utf-8 byte sequence from index 0>");
  EXPECT_TRUE(next_is_closed());
  EXPECT_TRUE(channel_ended());
}

TEST(StdinReader, StopsWhenTheRelayLoopIsGone) {
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  UniqueFd read_end(fds[0]), write_end(fds[1]);
  auto shared = std::make_shared<StdinShared>();
  auto [sender, receiver] = make_channel<BridgeEvent>();
  { EventReceiver gone = std::move(receiver); }
  std::thread reader(stdin_reader_thread, read_end.get(), shared, std::move(sender));
  ASSERT_EQ(::write(write_end.get(), "a\nb\n", 4), 4);
  reader.join();  // returns on its own: the send failed
  std::lock_guard lock(shared->mutex);
  EXPECT_TRUE(shared->closed);
}

TEST(Utf8Error, AcceptsValidTextAndNamesWhereItBreaks) {
  EXPECT_EQ(utf8_error(""), "");
  EXPECT_EQ(utf8_error("plain \xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"), "");
  EXPECT_EQ(utf8_error("\xc0\xaf"), "invalid utf-8 sequence of 1 bytes from index 0");  // overlong
  EXPECT_EQ(utf8_error("ab\xed\xa0\x80"), "invalid utf-8 sequence of 1 bytes from index 2");  // surrogate
  EXPECT_EQ(utf8_error("\xf4\x90\x80\x80"), "invalid utf-8 sequence of 1 bytes from index 0");  // > U+10FFFF
  EXPECT_EQ(utf8_error("\xe2\x82x"), "invalid utf-8 sequence of 2 bytes from index 0");
  EXPECT_EQ(utf8_error("x\xf0\x9f\x98"), "incomplete utf-8 byte sequence from index 1");
}

}  // namespace
}  // namespace vorn
