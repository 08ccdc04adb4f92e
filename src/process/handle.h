// An owned operating-system handle (a file descriptor on POSIX) and the pipe
// ends built on it. Every handle the process module creates is
// close-on-exec / not inheritable: a child only gets the ones handed to it
// explicitly as its standard streams.
#ifndef AURVANE_PROCESS_HANDLE_H_
#define AURVANE_PROCESS_HANDLE_H_

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string_view>

#include "util/result.h"

namespace aurvane {

class Handle {
 public:
  static constexpr intptr_t kInvalid = -1;

  Handle() = default;
  explicit Handle(intptr_t raw) : raw_(raw) {}
  ~Handle() { Close(); }
  Handle(Handle&& other) noexcept : raw_(other.raw_) { other.raw_ = kInvalid; }
  Handle& operator=(Handle&& other) noexcept {
    if (this != &other) {
      Close();
      raw_ = other.raw_;
      other.raw_ = kInvalid;
    }
    return *this;
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;

  bool valid() const { return raw_ != kInvalid; }
  intptr_t get() const { return raw_; }
  // Closes the handle (errors ignored); a no-op when already closed.
  void Close();

 private:
  intptr_t raw_ = kInvalid;
};

// The reading end of a pipe.
class PipeReader {
 public:
  PipeReader() = default;
  explicit PipeReader(Handle handle) : handle_(std::move(handle)) {}

  // Reads up to `size` bytes; 0 means end of stream. Interrupted reads are
  // retried. The error is the operating system's text.
  Result<size_t> Read(char* buffer, size_t size);
  const Handle& handle() const { return handle_; }
  void Close() { handle_.Close(); }

 private:
  Handle handle_;
};

// The writing end of a pipe.
class PipeWriter {
 public:
  PipeWriter() = default;
  explicit PipeWriter(Handle handle) : handle_(std::move(handle)) {}

  // Writes every byte, retrying short and interrupted writes, and waiting
  // for room when the pipe is full (also after SetNonBlocking). Writing to a
  // pipe whose reader is gone fails with an error instead of raising a
  // signal.
  Status WriteAll(std::string_view bytes);
  // Makes WriteSome possible. Fails where a pipe cannot be written without
  // waiting (Windows: its anonymous pipes only block).
  Status SetNonBlocking();
  // After SetNonBlocking: writes what fits now and returns how many bytes
  // that was, 0 when the pipe is full; never waits. Fails as WriteAll does.
  Result<size_t> WriteSome(std::string_view bytes);
  const Handle& handle() const { return handle_; }
  void Close() { handle_.Close(); }

 private:
  Handle handle_;
};

struct Pipe {
  PipeReader reader;
  PipeWriter writer;
};

// A new anonymous pipe; neither end is inherited by child processes.
Result<Pipe> MakePipe();

// Creates `path`, or truncates it, for writing (a worker's log), shared for
// reading, writing and deleting. The error is the operating system's text.
Result<Handle> CreateLogFile(const std::filesystem::path& path);

}  // namespace aurvane

#endif  // AURVANE_PROCESS_HANDLE_H_
