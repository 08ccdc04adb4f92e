// Helpers shared by the tests: scratch directories and small file utilities.
#ifndef AURVANE_TESTS_TEST_SUPPORT_H_
#define AURVANE_TESTS_TEST_SUPPORT_H_

#include <filesystem>
#include <string>

namespace aurvane::testing {

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes away.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

std::string ReadText(const std::filesystem::path& path);
void WriteText(const std::filesystem::path& path, const std::string& text);

}  // namespace aurvane::testing

#endif  // AURVANE_TESTS_TEST_SUPPORT_H_
