// Channel: an unbounded queue with many senders and one receiver.
//
// Senders never block. The receiver learns when every sender is gone, and a
// sender learns when the receiver is gone, so neither side waits on a partner
// that has left. Thread-safe: senders and the receiver may live on any
// threads; each Sender object is used by one thread at a time.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace vorn {

template <typename T>
class ChannelCore {
 public:
  std::mutex mutex;
  std::condition_variable ready;
  std::deque<T> queue;
  std::size_t senders = 0;
  bool receiver_alive = true;
};

template <typename T>
class Sender {
 public:
  Sender() = default;
  explicit Sender(std::shared_ptr<ChannelCore<T>> core) : core_(std::move(core)) { attach(); }
  Sender(const Sender& other) : core_(other.core_) { attach(); }
  Sender(Sender&& other) noexcept : core_(std::move(other.core_)) {}
  Sender& operator=(const Sender& other) {
    if (this != &other) {
      detach();
      core_ = other.core_;
      attach();
    }
    return *this;
  }
  Sender& operator=(Sender&& other) noexcept {
    if (this != &other) {
      detach();
      core_ = std::move(other.core_);
    }
    return *this;
  }
  ~Sender() { detach(); }

  // False when the receiver is gone (or this sender is empty); the value is
  // then dropped.
  [[nodiscard]] bool send(T value) {
    if (!core_) return false;
    {
      std::lock_guard lock(core_->mutex);
      if (!core_->receiver_alive) return false;
      core_->queue.push_back(std::move(value));
    }
    core_->ready.notify_one();
    return true;
  }

  bool valid() const { return core_ != nullptr; }

 private:
  void attach() {
    if (!core_) return;
    std::lock_guard lock(core_->mutex);
    ++core_->senders;
  }
  void detach() {
    if (!core_) return;
    bool last;
    {
      std::lock_guard lock(core_->mutex);
      last = --core_->senders == 0;
    }
    if (last) core_->ready.notify_all();
    core_.reset();
  }

  std::shared_ptr<ChannelCore<T>> core_;
};

enum class RecvStatus { kValue, kTimeout, kDisconnected };

template <typename T>
class Receiver {
 public:
  explicit Receiver(std::shared_ptr<ChannelCore<T>> core) : core_(std::move(core)) {}
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;
  Receiver(Receiver&&) noexcept = default;
  ~Receiver() {
    if (!core_) return;
    std::lock_guard lock(core_->mutex);
    core_->receiver_alive = false;
    core_->queue.clear();
  }

  // Waits at most `timeout` for a value. Values already queued are delivered
  // even after every sender has gone.
  RecvStatus recv_for(std::chrono::steady_clock::duration timeout, std::optional<T>& out) {
    std::unique_lock lock(core_->mutex);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (core_->queue.empty()) {
      if (core_->senders == 0) return RecvStatus::kDisconnected;
      if (core_->ready.wait_until(lock, deadline) == std::cv_status::timeout &&
          core_->queue.empty()) {
        return core_->senders == 0 ? RecvStatus::kDisconnected : RecvStatus::kTimeout;
      }
    }
    out.emplace(std::move(core_->queue.front()));
    core_->queue.pop_front();
    return RecvStatus::kValue;
  }

  // Takes a value only if one is queued now.
  std::optional<T> try_recv() {
    std::lock_guard lock(core_->mutex);
    if (core_->queue.empty()) return std::nullopt;
    std::optional<T> out(std::move(core_->queue.front()));
    core_->queue.pop_front();
    return out;
  }

 private:
  std::shared_ptr<ChannelCore<T>> core_;
};

template <typename T>
std::pair<Sender<T>, Receiver<T>> make_channel() {
  auto core = std::make_shared<ChannelCore<T>>();
  return {Sender<T>(core), Receiver<T>(core)};
}

}  // namespace vorn
