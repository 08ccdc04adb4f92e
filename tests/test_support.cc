#include "test_support.h"

#include <cassert>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>

namespace aurvane::testing {

ScratchDir::ScratchDir() {
  // A random name that nobody else has made (create_directory says so),
  // on every platform.
  std::random_device device;
  std::mt19937_64 random(device() ^ static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
  const std::filesystem::path base = std::filesystem::temp_directory_path();
  for (int attempt = 0;; ++attempt) {
    assert(attempt < 100 && "cannot create a scratch directory");
    char name[32];
    std::snprintf(name, sizeof name, "aurvane-test-%08llx", static_cast<unsigned long long>(random() & 0xffffffffu));
    std::error_code ec;
    if (std::filesystem::create_directory(base / name, ec)) {
      path_ = base / name;
      break;
    }
  }
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string ReadText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteText(const std::filesystem::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

}  // namespace aurvane::testing
