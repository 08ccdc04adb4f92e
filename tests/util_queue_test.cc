// The bounded queues: capacity, the two refusal texts, closing from either
// end, and waking blocked parties.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "util/queue.h"

namespace aurvane {
namespace {

using namespace std::chrono_literals;

TEST(QueueTest, OfferRefusesWhenFullOrReceiverGone) {
  auto [tx, rx] = MakeQueue<int>(2);
  EXPECT_TRUE(tx.Offer(1).ok());
  EXPECT_TRUE(tx.Offer(2).ok());
  Status full = tx.Offer(3);
  ASSERT_FALSE(full.ok());
  EXPECT_EQ(full.message(), "sending on a full channel");

  EXPECT_EQ(rx.Receive(), 1);
  EXPECT_TRUE(tx.Offer(4).ok());
  EXPECT_EQ(rx.Receive(), 2);
  EXPECT_EQ(rx.Receive(), 4);  // the refused 3 was dropped

  rx.Reset();
  Status closed = tx.Offer(5);
  ASSERT_FALSE(closed.ok());
  EXPECT_EQ(closed.message(), "sending on a closed channel");
  EXPECT_FALSE(tx.Send(6));
  EXPECT_EQ(Sender<int>().Offer(1).message(), "sending on a closed channel");
}

TEST(QueueTest, ReceiverSeesEndOnlyWhenEverySenderIsGoneAndQueueDrained) {
  auto [tx, rx] = MakeQueue<std::string>(4);
  Sender<std::string> copy = tx;
  ASSERT_TRUE(tx.Offer("a").ok());
  tx.Reset();
  EXPECT_EQ(rx.ReceiveFor(1ms).value, "a");
  EXPECT_EQ(rx.ReceiveFor(1ms).status, ReceiveStatus::kTimeout);  // the copy still sends

  ASSERT_TRUE(copy.Offer("b").ok());
  Sender<std::string> moved = std::move(copy);  // moving does not add a sender
  moved.Reset();
  Received<std::string> last = rx.ReceiveFor(1ms);
  EXPECT_EQ(last.status, ReceiveStatus::kValue);
  EXPECT_EQ(last.value, "b");
  EXPECT_EQ(rx.ReceiveFor(1ms).status, ReceiveStatus::kDisconnected);
  EXPECT_EQ(rx.Receive(), std::nullopt);
}

TEST(QueueTest, BlockedPartiesAreWoken) {
  // A sender waiting for room fails when the receiver goes away.
  auto [tx, rx] = MakeQueue<int>(1);
  ASSERT_TRUE(tx.Send(1));
  std::atomic<int> result{-1};
  std::thread sender([&tx = tx, &result] { result = tx.Send(2) ? 1 : 0; });
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(result.load(), -1) << "Send must wait while the queue is full";
  rx.Reset();
  sender.join();
  EXPECT_EQ(result.load(), 0);

  // A receiver waiting for a value wakes with a value, then with the end.
  auto [tx2, rx2] = MakeQueue<int>(1);
  std::thread producer([tx = std::move(tx2)]() mutable {
    std::this_thread::sleep_for(20ms);
    tx.Send(7);
  });
  EXPECT_EQ(rx2.Receive(), 7);
  EXPECT_EQ(rx2.Receive(), std::nullopt);
  producer.join();
}

TEST(QueueTest, QuietSendsArriveInOrderWithTheNextWakeOrAtTheEndOfTheWait) {
  auto [tx, rx] = MakeQueue<int>(4);
  std::thread producer([tx = std::move(tx)]() mutable {
    std::this_thread::sleep_for(20ms);
    tx.Send(1, /*wake=*/false);
    tx.Send(2, /*wake=*/false);
    std::this_thread::sleep_for(20ms);
    tx.Send(3);
    std::this_thread::sleep_for(20ms);
    tx.Send(4, /*wake=*/false);  // nothing wakes the receiver after this one
  });
  EXPECT_EQ(rx.ReceiveFor(10s).value, 1);
  EXPECT_EQ(rx.ReceiveFor(10s).value, 2);
  EXPECT_EQ(rx.ReceiveFor(10s).value, 3);
  Received<int> last = rx.ReceiveFor(300ms);
  EXPECT_EQ(last.status, ReceiveStatus::kValue) << "a value queued during the wait counts at its end";
  EXPECT_EQ(last.value, 4);
  producer.join();
  EXPECT_EQ(rx.ReceiveFor(1ms).status, ReceiveStatus::kDisconnected);
}

TEST(QueueTest, ManyProducersKeepTheirOwnOrder) {
  auto [tx, rx] = MakeQueue<std::pair<int, int>>(3);
  std::vector<std::thread> threads;
  for (int p = 0; p < 4; ++p) {
    threads.emplace_back([p, tx = tx]() mutable {
      for (int i = 0; i < 200; ++i) ASSERT_TRUE(tx.Send({p, i}));
    });
  }
  tx.Reset();
  int next[4] = {0, 0, 0, 0};
  int total = 0;
  while (auto item = rx.Receive()) {
    ASSERT_EQ(item->second, next[item->first]++) << "producer " << item->first;
    ++total;
  }
  EXPECT_EQ(total, 800);
  for (std::thread& t : threads) t.join();
}

}  // namespace
}  // namespace aurvane
