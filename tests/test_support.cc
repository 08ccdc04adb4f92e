#include "test_support.h"

#include <stdlib.h>

#include <cassert>
#include <fstream>
#include <sstream>

namespace aurvane::testing {

ScratchDir::ScratchDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "aurvane-test-XXXXXX").string();
  char* made = ::mkdtemp(tmpl.data());
  assert(made != nullptr && "mkdtemp failed");
  path_ = made;
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
