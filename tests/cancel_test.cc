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

  EXPECT_FALSE(flag->load());
  ASSERT_EQ(::raise(SIGINT), 0);
  EXPECT_TRUE(BecomesTrue(flag));
  // Further signals of every kind are handled, and never end the process.
  for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGINT}) ASSERT_EQ(::raise(signal), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(flag->load());
}

}  // namespace
}  // namespace aurvane
