#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <thread>

#include "cancel/cancel.h"

namespace aurvane {
namespace {

bool BecomesTrue(const CancelFlag& flag) {
  for (int i = 0; i < 500 && !flag->load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return flag->load();
}

// One test, because the handler can be installed once per process.
TEST(Cancel, EverySignalSetsTheFlagAndTheHandlerInstallsOnce) {
  CancelFlag flag = MakeCancelFlag();
  ASSERT_TRUE(InstallInterruptHandler(flag).ok());
  Status again = InstallInterruptHandler(MakeCancelFlag());
  ASSERT_FALSE(again.ok());
  EXPECT_EQ(again.message(), "Ctrl-C error: Ctrl-C signal handler already registered");

  EXPECT_EQ(flag->load(), 0);
  ASSERT_EQ(::raise(SIGINT), 0);
  EXPECT_TRUE(BecomesTrue(flag));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(flag->load(), kCancelInOrder);
  // A second signal of any kind cancels at once; further ones are handled
  // too, and never end the process.
  for (int signal : {SIGTERM, SIGHUP, SIGQUIT, SIGINT}) ASSERT_EQ(::raise(signal), 0);
  for (int i = 0; i < 500 && flag->load() != kCancelNow; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(flag->load(), kCancelNow);
}

}  // namespace
}  // namespace aurvane
