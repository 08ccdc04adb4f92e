#include <errno.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <charconv>
#include <cstdint>
#include <unordered_set>
#include <vector>

#include "process/fork_client.h"
#include "util/file.h"

namespace aurvane {

namespace {

// The entry's value when it is NAME=VALUE with this name.
std::optional<std::string_view> ValueOf(const char* entry, std::string_view name) {
  std::string_view text(entry);
  if (text.size() <= name.size() || text.substr(0, name.size()) != name || text[name.size()] != '=') {
    return std::nullopt;
  }
  return text.substr(name.size() + 1);
}

}  // namespace

std::optional<std::string> ForkServerPath(char* const* environment) {
  for (char* const* entry = environment; entry != nullptr && *entry != nullptr; ++entry) {
    std::optional<std::string_view> value = ValueOf(*entry, kForkServerEnv);
    if (value) {
      if (value->empty()) return std::nullopt;
      return std::string(*value);
    }
  }
  return std::nullopt;
}

std::vector<char*> WithoutForkServer(char* const* environment) {
  std::vector<char*> kept;
  for (char* const* entry = environment; entry != nullptr && *entry != nullptr; ++entry) {
    if (!ValueOf(*entry, kForkServerEnv)) kept.push_back(*entry);
  }
  kept.push_back(nullptr);
  return kept;
}

std::string EncodeForkRequest(std::string_view cwd, char* const* environment) {
  std::string body(cwd);
  std::unordered_set<std::string_view> names;
  for (char* entry : WithoutForkServer(environment)) {
    if (entry == nullptr) break;
    const char* equals = ::strchr(entry, '=');
    if (equals == nullptr || equals == entry) continue;
    if (!names.insert(std::string_view(entry, static_cast<size_t>(equals - entry))).second) continue;
    body += '\0';
    body += entry;
  }
  const auto size = static_cast<uint32_t>(body.size());
  std::string request(4, '\0');
  for (int i = 0; i < 4; ++i) request[static_cast<size_t>(i)] = static_cast<char>((size >> (24 - 8 * i)) & 0xff);
  return request + body;
}

Result<ForkServerClient> ForkServerClient::Attach(const std::string& path, std::string_view request, int cgroup) {
  auto no_server = [&path](const std::string& why) { return Error{"no fork server at " + path + " (" + why + ")"}; };
  struct sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return no_server("the path is too long for a socket");
  ::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  Handle socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!socket.valid()) return no_server(LastOsError().message);
  const int fd = static_cast<int>(socket.get());
  int connected;
  do {
    connected = ::connect(fd, reinterpret_cast<const struct sockaddr*>(&address), sizeof address);
  } while (connected != 0 && errno == EINTR);
  if (connected != 0) return no_server(LastOsError().message);

  // The descriptors travel with the first bytes; the rest follows plainly.
  const int streams[4] = {0, 1, 2, cgroup};
  const size_t passed = (cgroup >= 0 ? 4 : 3) * sizeof(int);
  alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof streams)] = {};
  struct iovec data = {const_cast<char*>(request.data()), request.size()};
  struct msghdr message = {};
  message.msg_iov = &data;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = CMSG_SPACE(passed);
  struct cmsghdr* header = CMSG_FIRSTHDR(&message);
  header->cmsg_level = SOL_SOCKET;
  header->cmsg_type = SCM_RIGHTS;
  header->cmsg_len = CMSG_LEN(passed);
  ::memcpy(CMSG_DATA(header), streams, passed);
  ssize_t sent;
  do {
    sent = ::sendmsg(fd, &message, MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  if (sent < 0) return no_server(LastOsError().message);
  std::string_view rest = request.substr(static_cast<size_t>(sent));
  while (!rest.empty()) {
    ssize_t n = ::send(fd, rest.data(), rest.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return no_server(LastOsError().message);
    rest.remove_prefix(static_cast<size_t>(n));
  }

  ForkServerClient client(std::move(socket));
  std::optional<int> pid = client.ReadReply("pid");
  // It took the request but forked nothing (it ended meanwhile, say).
  if (!pid) return Error{"the fork server at " + path + " forked no worker"};
  client.worker_pid_ = *pid;
  return client;
}

int ForkServerClient::WaitForExit() {
  std::optional<int> status = ReadReply("exit");
  return status ? *status : 3;
}

std::optional<int> ForkServerClient::ReadReply(std::string_view word) {
  size_t end;
  while ((end = buffered_.find('\n')) == std::string::npos) {
    char chunk[256];
    ssize_t n = ::read(static_cast<int>(socket_.get()), chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::nullopt;
    buffered_.append(chunk, static_cast<size_t>(n));
  }
  std::string line = buffered_.substr(0, end);
  buffered_.erase(0, end + 1);
  if (line.size() <= word.size() + 1 || line.compare(0, word.size(), word) != 0 || line[word.size()] != ' ') {
    return std::nullopt;
  }
  int value = 0;
  const char* first = line.data() + word.size() + 1;
  const char* last = line.data() + line.size();
  auto [stop, error] = std::from_chars(first, last, value);
  if (error != std::errc() || stop != last) return std::nullopt;
  return value;
}

}  // namespace aurvane
