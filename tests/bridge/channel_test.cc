#include "bridge/channel.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

namespace vorn {
namespace {

using namespace std::chrono_literals;

TEST(Channel, DeliversInOrderFromManySenders) {
  auto [sender, receiver] = make_channel<int>();
  std::thread a([s = sender]() mutable {
    for (int i = 0; i < 1000; ++i) ASSERT_TRUE(s.send(i));
  });
  std::thread b([s = sender]() mutable {
    for (int i = 1000; i < 2000; ++i) ASSERT_TRUE(s.send(i));
  });
  a.join();
  b.join();
  int last_a = -1, last_b = 999, count = 0;
  std::optional<int> value;
  while (receiver.recv_for(0s, value) == RecvStatus::kValue) {
    int& last = *value < 1000 ? last_a : last_b;
    EXPECT_GT(*value, last);  // each sender's values keep their order
    last = *value;
    ++count;
    value.reset();
  }
  EXPECT_EQ(count, 2000);
}

TEST(Channel, TimesOutWhileSendersLiveAndEndsWhenTheyAreGone) {
  auto [sender, receiver] = make_channel<std::string>();
  std::optional<std::string> value;
  EXPECT_EQ(receiver.recv_for(1ms, value), RecvStatus::kTimeout);
  ASSERT_TRUE(sender.send("kept"));
  { auto gone = std::move(sender); }
  // What was sent before the last sender left is still delivered.
  EXPECT_EQ(receiver.recv_for(0s, value), RecvStatus::kValue);
  EXPECT_EQ(value, "kept");
  EXPECT_EQ(receiver.recv_for(10s, value), RecvStatus::kDisconnected);
}

TEST(Channel, WakesAWaitingReceiverWhenTheLastSenderLeaves) {
  auto [sender, receiver] = make_channel<int>();
  std::thread leaver([s = std::move(sender)]() mutable { auto gone = std::move(s); });
  std::optional<int> value;
  EXPECT_EQ(receiver.recv_for(60s, value), RecvStatus::kDisconnected);
  leaver.join();
}

TEST(Channel, SendFailsOnceTheReceiverIsGone) {
  auto [sender, receiver] = make_channel<int>();
  EXPECT_TRUE(sender.send(1));
  { auto gone = std::move(receiver); }
  EXPECT_FALSE(sender.send(2));
  Sender<int> empty;
  EXPECT_FALSE(empty.send(3));
}

TEST(Channel, TryRecvNeverWaits) {
  auto [sender, receiver] = make_channel<int>();
  EXPECT_FALSE(receiver.try_recv().has_value());
  ASSERT_TRUE(sender.send(7));
  EXPECT_EQ(receiver.try_recv(), 7);
  EXPECT_FALSE(receiver.try_recv().has_value());
}

}  // namespace
}  // namespace vorn
