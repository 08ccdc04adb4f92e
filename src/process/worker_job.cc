// What a worker job is on every platform: ownership, moves, and how long a
// killed job is waited for. The platform files keep only what differs.
#include "process/worker_job.h"

#include <algorithm>
#include <cassert>
#include <chrono>
#include <thread>

namespace aurvane {

namespace {

constexpr auto kEmptyJobWait = std::chrono::seconds(2);
// A guard ends its tree and exits within a millisecond or so, and the
// supervisor waits for it, once per worker, at every worker's end: the
// first looks come soon, the later ones every few milliseconds.
constexpr auto kEmptyJobFirstPoll = std::chrono::microseconds(100);
constexpr auto kEmptyJobPoll = std::chrono::milliseconds(5);

}  // namespace

WorkerJob::WorkerJob() = default;
WorkerJob::WorkerJob(ImplPtr impl, uint32_t pid) : impl_(std::move(impl)), pid_(pid) {}
WorkerJob::~WorkerJob() { Terminate(); }
WorkerJob::WorkerJob(WorkerJob&& other) noexcept = default;

WorkerJob& WorkerJob::operator=(WorkerJob&& other) noexcept {
  if (this != &other) {
    Terminate();
    impl_ = std::move(other.impl_);
    pid_ = other.pid_;
    terminated_ = other.terminated_;
  }
  return *this;
}

uint32_t WorkerJob::pid() const {
  assert(impl_ && "pid() of an empty WorkerJob");
  return pid_;
}

bool WorkerJob::terminated() const { return !impl_ || terminated_; }

void WorkerJob::Terminate() {
  if (!impl_ || terminated_) return;
  terminated_ = true;
  KillAndWait();
}

bool WorkerJob::Interrupt() {
  if (!impl_ || terminated_) return false;
  return SendInterrupt();
}

void WorkerJob::Kill() {
  if (!impl_ || terminated_) return;
  StartKilling();
}

void WorkerJob::WaitUntilEmpty(const std::function<bool()>& empty) {
  const auto deadline = std::chrono::steady_clock::now() + kEmptyJobWait;
  std::chrono::microseconds pause = kEmptyJobFirstPoll;
  while (!empty() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(pause);
    pause = std::min<std::chrono::microseconds>(pause * 2, kEmptyJobPoll);
  }
}

}  // namespace aurvane
