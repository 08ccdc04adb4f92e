// The fork server's client as the job guard runs it, against a stand-in
// server: what it sends, the descriptors it hands over, and each way the
// exchange can end.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "process/fork_client.h"
#include "test_support.h"

namespace aurvane {
namespace {

// Listens at `path`; `serve` gets each accepted connection's descriptor.
class StandInServer {
 public:
  StandInServer(const std::string& path, std::function<void(int)> serve) {
    listener_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    EXPECT_EQ(::bind(listener_, reinterpret_cast<struct sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::listen(listener_, 4), 0);
    thread_ = std::thread([this, serve = std::move(serve)] {
      int conn = ::accept(listener_, nullptr, nullptr);
      if (conn < 0) return;
      serve(conn);
      ::close(conn);
    });
  }
  ~StandInServer() {
    thread_.join();
    ::close(listener_);
  }

 private:
  int listener_ = -1;
  std::thread thread_;
};

// The request (header and body) and the descriptors that came with it.
struct Received {
  std::string bytes;
  std::vector<int> fds;
};

Received ReadRequest(int conn) {
  Received got;
  char data[4096];
  alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(int) * 3)];
  struct iovec io = {data, sizeof data};
  struct msghdr message = {};
  message.msg_iov = &io;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  ssize_t n = ::recvmsg(conn, &message, 0);
  if (n <= 0) return got;
  got.bytes.assign(data, static_cast<size_t>(n));
  for (struct cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr; header = CMSG_NXTHDR(&message, header)) {
    if (header->cmsg_type != SCM_RIGHTS) continue;
    size_t count = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    got.fds.resize(count);
    ::memcpy(got.fds.data(), CMSG_DATA(header), count * sizeof(int));
  }
  while (got.bytes.size() >= 4) {
    auto size = static_cast<size_t>(static_cast<unsigned char>(got.bytes[0])) << 24 |
                static_cast<size_t>(static_cast<unsigned char>(got.bytes[1])) << 16 |
                static_cast<size_t>(static_cast<unsigned char>(got.bytes[2])) << 8 |
                static_cast<size_t>(static_cast<unsigned char>(got.bytes[3]));
    if (got.bytes.size() >= 4 + size) break;
    n = ::read(conn, data, sizeof data);
    if (n <= 0) break;
    got.bytes.append(data, static_cast<size_t>(n));
  }
  return got;
}

void Say(int conn, const std::string& line) { ASSERT_EQ(::write(conn, line.data(), line.size()), static_cast<ssize_t>(line.size())); }

bool SameFile(int a, int b) {
  struct stat x, y;
  return ::fstat(a, &x) == 0 && ::fstat(b, &y) == 0 && x.st_dev == y.st_dev && x.st_ino == y.st_ino;
}

TEST(ForkClient, TheRequestCarriesDirectoryAndEnvironmentButNotTheServersName) {
  char first[] = "PATH=/usr/bin";
  char server[] = "AURVANE_FORK_FROM=/tmp/s";
  char nameless[] = "=odd";
  char no_equals[] = "JUNK";
  char odd[] = "ODD=a=b\x01\xff";
  char again[] = "PATH=/second";  // getenv and os.environ see the first
  char* env[] = {first, server, nameless, no_equals, odd, again, nullptr};
  std::string request = EncodeForkRequest("/work dir", env);
  std::string body = std::string("/work dir") + '\0' + "PATH=/usr/bin" + '\0' + "ODD=a=b\x01\xff";
  ASSERT_EQ(request.size(), 4 + body.size());
  EXPECT_EQ(request.substr(0, 4), std::string("\0\0\0", 3) + static_cast<char>(body.size()));
  EXPECT_EQ(request.substr(4), body);

  EXPECT_EQ(ForkServerPath(env), "/tmp/s");
  char empty[] = "AURVANE_FORK_FROM=";
  char prefixed[] = "AURVANE_FORK_FROM_X=/tmp/t";
  char* unset[] = {first, empty, prefixed, nullptr};
  EXPECT_EQ(ForkServerPath(unset), std::nullopt) << "an empty value names no server";
  std::vector<char*> kept = WithoutForkServer(env);
  ASSERT_EQ(kept.size(), 6u);
  EXPECT_EQ(kept[1], nameless);
  EXPECT_EQ(kept.back(), nullptr);
}

TEST(ForkClient, HandsOverTheStandardStreamsAndStandsForTheWorkerUntilItsExit) {
  testing::ScratchDir dir;
  const std::string path = (dir / "s").string();
  // A request far larger than one send, so that its rest follows the descriptors.
  std::string big = "BIG=" + std::string(300000, 'x');
  char* env[] = {big.data(), nullptr};
  std::string request = EncodeForkRequest("/", env);
  Received got;
  bool streams_match = false;
  {
    StandInServer server(path, [&](int conn) {
      got = ReadRequest(conn);
      streams_match = got.fds.size() == 3 && SameFile(got.fds[0], 0) && SameFile(got.fds[1], 1) && SameFile(got.fds[2], 2);
      for (int fd : got.fds) ::close(fd);
      Say(conn, "pid 4242\n");
      Say(conn, "exit 137\n");
    });
    Result<ForkServerClient> client = ForkServerClient::Attach(path, request);
    ASSERT_TRUE(client.ok()) << client.message();
    EXPECT_EQ(client.value().worker_pid(), 4242);
    EXPECT_EQ(client.value().WaitForExit(), 137) << "two replies read at once are both taken";
  }
  EXPECT_TRUE(streams_match) << got.fds.size() << " descriptors";
  EXPECT_EQ(got.bytes, request);

  // The server went away with the worker: an error status, not success.
  const std::string gone = (dir / "gone").string();
  {
    StandInServer server(gone, [](int conn) {
      ReadRequest(conn);
      Say(conn, "pid 7\n");
    });
    Result<ForkServerClient> client = ForkServerClient::Attach(gone, std::string(4, '\0'));
    ASSERT_TRUE(client.ok()) << client.message();
    EXPECT_EQ(client.value().WaitForExit(), 3);
  }
}

TEST(ForkClient, SaysWhyNoWorkerWasForked) {
  testing::ScratchDir dir;
  Result<ForkServerClient> none = ForkServerClient::Attach((dir / "nobody").string(), std::string(4, '\0'));
  ASSERT_FALSE(none.ok());
  EXPECT_EQ(none.message().rfind("no fork server at " + (dir / "nobody").string() + " (", 0), 0u) << none.message();

  const std::string path = (dir / "s").string();
  StandInServer server(path, [](int conn) {
    ReadRequest(conn);
    Say(conn, "busy\n");
  });
  Result<ForkServerClient> refused = ForkServerClient::Attach(path, std::string(4, '\0'));
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.message(), "the fork server at " + path + " forked no worker");
}

}  // namespace
}  // namespace aurvane
