#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <sys/stat.h>
#include <unistd.h>

#include "process/handle.h"
#include "util/file.h"

namespace aurvane {

namespace {

int Fd(const Handle& handle) { return static_cast<int>(handle.get()); }

// Keeps SIGPIPE from killing the process while this thread writes to a pipe
// whose reader has gone: the write then fails with EPIPE, and the signal the
// kernel queued for this thread is taken back before the mask is restored.
// Nothing to do when the process ignores SIGPIPE (the controller does): one
// query instead of three calls per command.
class ScopedNoSigpipe {
 public:
  ScopedNoSigpipe() {
    struct sigaction current;
    if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) {
      active_ = false;
      return;
    }
    sigemptyset(&pipe_set_);
    sigaddset(&pipe_set_, SIGPIPE);
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    was_pending_ = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipe_set_, &old_mask_);
  }
  ~ScopedNoSigpipe() {
    if (!active_) return;
    if (broke_ && !was_pending_) {
      struct timespec zero = {0, 0};
      while (sigtimedwait(&pipe_set_, nullptr, &zero) < 0 && errno == EINTR) {
      }
    }
    pthread_sigmask(SIG_SETMASK, &old_mask_, nullptr);
  }
  ScopedNoSigpipe(const ScopedNoSigpipe&) = delete;
  ScopedNoSigpipe& operator=(const ScopedNoSigpipe&) = delete;
  void set_broke() { broke_ = true; }

 private:
  sigset_t pipe_set_;
  sigset_t old_mask_;
  bool was_pending_ = false;
  bool broke_ = false;
  bool active_ = true;
};

}  // namespace

void Handle::Close() {
  if (raw_ == kInvalid) return;
  // Linux releases the descriptor even when close reports EINTR, so it is
  // never retried.
  ::close(static_cast<int>(raw_));
  raw_ = kInvalid;
}

Result<size_t> PipeReader::Read(char* buffer, size_t size) {
  for (;;) {
    ssize_t n = ::read(Fd(handle_), buffer, size);
    if (n >= 0) return static_cast<size_t>(n);
    if (errno != EINTR) return LastOsError();
  }
}

Status PipeWriter::WriteAll(std::string_view bytes) {
  ScopedNoSigpipe no_sigpipe;
  while (!bytes.empty()) {
    ssize_t n = ::write(Fd(handle_), bytes.data(), bytes.size());
    if (n < 0) {
      int code = errno;
      if (code == EINTR) continue;
      if (code == EAGAIN) {
        // Non-blocking and full: wait for room. A reader that has gone
        // wakes the poll too, and the next write fails with EPIPE.
        struct pollfd writable = {Fd(handle_), POLLOUT, 0};
        if (::poll(&writable, 1, -1) < 0 && errno != EINTR) return LastOsError();
        continue;
      }
      if (code == EPIPE) no_sigpipe.set_broke();
      return Error{OsErrorText(code)};
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return Status::Ok();
}

Status PipeWriter::SetNonBlocking() {
  int flags = ::fcntl(Fd(handle_), F_GETFL);
  if (flags < 0 || ::fcntl(Fd(handle_), F_SETFL, flags | O_NONBLOCK) != 0) return LastOsError();
  return Status::Ok();
}

Result<size_t> PipeWriter::WriteSome(std::string_view bytes) {
  ScopedNoSigpipe no_sigpipe;
  for (;;) {
    ssize_t n = ::write(Fd(handle_), bytes.data(), bytes.size());
    if (n >= 0) return static_cast<size_t>(n);
    int code = errno;
    if (code == EINTR) continue;
    if (code == EAGAIN) return size_t{0};
    if (code == EPIPE) no_sigpipe.set_broke();
    return Error{OsErrorText(code)};
  }
}

Result<Pipe> MakePipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return LastOsError();
  return Pipe{PipeReader(Handle(fds[0])), PipeWriter(Handle(fds[1]))};
}

Result<Handle> CreateLogFile(const std::filesystem::path& path) {
  // Only a regular file: a FIFO planted here would hold us in open(), and a
  // link would send the worker's output elsewhere.
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0) {
    if (errno == ELOOP || errno == ENXIO) return Error{NotRegularFileText(path)};
    return LastOsError();
  }
  Handle handle(fd);
  struct stat st;
  if (::fstat(fd, &st) != 0) return LastOsError();
  if (!S_ISREG(st.st_mode)) return Error{NotRegularFileText(path)};
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return handle;
}

}  // namespace aurvane
