// A launcher that starts no process, for driving the supervisor in memory
// (the role ninja's FakeCommandRunner and pytest-xdist's MockNode play):
// each launch gets an empty job and a command queue whose receiving end
// stays here, and the test plays the worker by handing the supervisor its
// messages itself.
#ifndef AURVANE_TESTS_SCRIPTED_LAUNCHER_H_
#define AURVANE_TESTS_SCRIPTED_LAUNCHER_H_

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "json/json.h"
#include "supervisor/launcher.h"

namespace aurvane::testing {

class ScriptedLauncher final : public WorkerLauncher {
 public:
  Result<LaunchedWorker> Launch(size_t number, const Sender<WorkerEvent>&) override {
    if (fail_from && number >= *fail_from) return Error{"program not found"};
    if (cancel_at && number == *cancel_at) cancel->store(true);
    auto [sender, receiver] = MakeQueue<WorkerCommand>(kCommandQueueCapacity);
    if (receivers_.size() <= number) {
      receivers_.resize(number + 1);
      sent_.resize(number + 1);
    }
    receivers_[number] = std::move(receiver);
    return LaunchedWorker{WorkerJob(), CommandChannel(std::move(sender)), static_cast<uint32_t>(1000 + number)};
  }

  // Takes what is queued for every worker, as a worker's writer thread
  // would: a queue holds kCommandQueueCapacity commands only.
  void Drain() {
    for (size_t n = 0; n < receivers_.size(); ++n) {
      for (;;) {
        Received<WorkerCommand> got = receivers_[n].ReceiveFor(std::chrono::nanoseconds(0));
        if (got.status != ReceiveStatus::kValue) break;
        sent_[n].push_back(json::ToCompact(*got.value));
      }
    }
  }

  // Lets go of worker `n`'s commands, as its control writer does when a
  // write to the worker fails: every later command is refused as closed.
  void CloseControl(size_t n) {
    Drain();
    receivers_.at(n).Reset();
  }

  // Whether the supervisor has let go of worker `n`'s commands, as it must
  // of a worker it gave up or that exited (its control writer then ends).
  bool released(size_t n) {
    Drain();
    return receivers_.at(n).ReceiveFor(std::chrono::nanoseconds(0)).status == ReceiveStatus::kDisconnected;
  }

  // Recorded among worker `n`'s commands as "interrupt".
  bool Interrupt(size_t number, WorkerJob&) override {
    Drain();
    sent_.at(number).push_back("interrupt");
    return true;
  }

  // Every command worker `n` was sent, in order, as compact JSON.
  const std::vector<std::string>& sent(size_t n) const { return sent_.at(n); }
  size_t launches() const { return receivers_.size(); }

  // Launches of this worker number and later ones fail.
  std::optional<size_t> fail_from;
  // The launch of this worker number raises `cancel`, as a Ctrl-C while
  // the workers start.
  std::optional<size_t> cancel_at;
  CancelFlag cancel;

 private:
  std::vector<Receiver<WorkerCommand>> receivers_;
  std::vector<std::vector<std::string>> sent_;
};

}  // namespace aurvane::testing

#endif  // AURVANE_TESTS_SCRIPTED_LAUNCHER_H_
