// A bounded, thread-safe first-in first-out queue with separate ends.
//
// MakeQueue returns one sending end and one receiving end. Sending ends are
// copied to hand one to each producer thread; the queue counts as closed for
// the receiver once every sending end is gone, and as closed for the senders
// once the receiving end is gone. Releasing the receiver wakes every sender
// that waits for room, and their sends fail.
#ifndef AURVANE_UTIL_QUEUE_H_
#define AURVANE_UTIL_QUEUE_H_

#include <cassert>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "util/result.h"

namespace aurvane {

inline constexpr char kFullChannel[] = "sending on a full channel";
inline constexpr char kClosedChannel[] = "sending on a closed channel";

namespace queue_internal {

template <class T>
struct State {
  explicit State(size_t cap) : capacity(cap) {}
  std::mutex mu;
  std::condition_variable not_empty;  // receiver waits: an item, or no senders
  std::condition_variable not_full;   // senders wait: room, or no receiver
  std::deque<T> items;
  const size_t capacity;
  size_t senders = 1;
  bool receiver_alive = true;
};

}  // namespace queue_internal

template <class T>
class Sender;
template <class T>
class Receiver;
template <class T>
std::pair<Sender<T>, Receiver<T>> MakeQueue(size_t capacity);

template <class T>
class Sender {
 public:
  // A sending end connected to nothing: every send fails as closed.
  Sender() = default;
  ~Sender() { Reset(); }
  Sender(const Sender& other) : state_(other.state_) {
    if (state_) {
      std::lock_guard<std::mutex> lock(state_->mu);
      ++state_->senders;
    }
  }
  Sender& operator=(const Sender& other) {
    if (this != &other) *this = Sender(other);
    return *this;
  }
  Sender(Sender&& other) noexcept : state_(std::move(other.state_)) {}
  Sender& operator=(Sender&& other) noexcept {
    if (this != &other) {
      Reset();
      state_ = std::move(other.state_);
    }
    return *this;
  }

  // Queues `value` without waiting; a refused value is dropped.
  Status Offer(T value) {
    if (!state_) return Error{kClosedChannel};
    {
      std::lock_guard<std::mutex> lock(state_->mu);
      if (!state_->receiver_alive) return Error{kClosedChannel};
      if (state_->items.size() >= state_->capacity) return Error{kFullChannel};
      state_->items.push_back(std::move(value));
    }
    state_->not_empty.notify_one();
    return Status::Ok();
  }

  // Queues `value`, waiting while the queue is full. False (the value
  // dropped) when the receiving end is gone.
  //
  // With `wake` false a waiting receiver is not woken for this value: it
  // takes it, in order, when something else wakes it or its own timed wait
  // ends. That saves a wake-up for values that can wait that long; only a
  // receiver that waits with ReceiveFor may be sent such values.
  bool Send(T value, bool wake = true) {
    if (!state_) return false;
    {
      std::unique_lock<std::mutex> lock(state_->mu);
      state_->not_full.wait(lock, [&] {
        return !state_->receiver_alive || state_->items.size() < state_->capacity;
      });
      if (!state_->receiver_alive) return false;
      state_->items.push_back(std::move(value));
    }
    if (wake) state_->not_empty.notify_one();
    return true;
  }

  bool connected() const { return state_ != nullptr; }

  // Releases this end now (as its destructor would).
  void Reset() {
    if (!state_) return;
    bool last;
    {
      std::lock_guard<std::mutex> lock(state_->mu);
      assert(state_->senders > 0 && "sender count underflow");
      last = --state_->senders == 0;
    }
    if (last) state_->not_empty.notify_all();
    state_.reset();
  }

 private:
  friend std::pair<Sender<T>, Receiver<T>> MakeQueue<T>(size_t capacity);
  explicit Sender(std::shared_ptr<queue_internal::State<T>> state) : state_(std::move(state)) {}
  std::shared_ptr<queue_internal::State<T>> state_;
};

enum class ReceiveStatus { kValue, kTimeout, kDisconnected };

template <class T>
struct Received {
  ReceiveStatus status;
  std::optional<T> value;  // set exactly when status is kValue
};

template <class T>
class Receiver {
 public:
  Receiver() = default;
  ~Receiver() { Reset(); }
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;
  Receiver(Receiver&& other) noexcept : state_(std::move(other.state_)) {}
  Receiver& operator=(Receiver&& other) noexcept {
    if (this != &other) {
      Reset();
      state_ = std::move(other.state_);
    }
    return *this;
  }

  // Waits for the next value; nullopt once the queue is empty and every
  // sending end is gone.
  std::optional<T> Receive() {
    if (!state_) return std::nullopt;
    std::unique_lock<std::mutex> lock(state_->mu);
    state_->not_empty.wait(lock, [&] { return !state_->items.empty() || state_->senders == 0; });
    return TakeLocked(lock);
  }

  // As Receive, but gives up after `limit`.
  Received<T> ReceiveFor(std::chrono::nanoseconds limit) {
    if (!state_) return {ReceiveStatus::kDisconnected, std::nullopt};
    std::unique_lock<std::mutex> lock(state_->mu);
    bool ready = state_->not_empty.wait_for(
        lock, limit, [&] { return !state_->items.empty() || state_->senders == 0; });
    if (!ready) return {ReceiveStatus::kTimeout, std::nullopt};
    std::optional<T> value = TakeLocked(lock);
    if (!value) return {ReceiveStatus::kDisconnected, std::nullopt};
    return {ReceiveStatus::kValue, std::move(value)};
  }

  // Releases this end now: queued values are dropped and waiting senders fail.
  void Reset() {
    if (!state_) return;
    std::deque<T> dropped;  // destroyed outside the lock
    {
      std::lock_guard<std::mutex> lock(state_->mu);
      state_->receiver_alive = false;
      dropped.swap(state_->items);
    }
    state_->not_full.notify_all();
    state_.reset();
  }

 private:
  friend std::pair<Sender<T>, Receiver<T>> MakeQueue<T>(size_t capacity);
  explicit Receiver(std::shared_ptr<queue_internal::State<T>> state) : state_(std::move(state)) {}

  std::optional<T> TakeLocked(std::unique_lock<std::mutex>& lock) {
    if (state_->items.empty()) return std::nullopt;
    std::optional<T> value(std::move(state_->items.front()));
    state_->items.pop_front();
    lock.unlock();
    state_->not_full.notify_one();
    return value;
  }

  std::shared_ptr<queue_internal::State<T>> state_;
};

// A queue holding at most `capacity` (at least 1) values.
template <class T>
std::pair<Sender<T>, Receiver<T>> MakeQueue(size_t capacity) {
  assert(capacity > 0 && "a queue needs room for one value");
  auto state = std::make_shared<queue_internal::State<T>>(capacity);
  return {Sender<T>(state), Receiver<T>(state)};
}

}  // namespace aurvane

#endif  // AURVANE_UTIL_QUEUE_H_
