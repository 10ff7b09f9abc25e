#include "tests/support/temp_directory.h"

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <system_error>

namespace test_support {

TempDirectory::TempDirectory() {
  std::string pattern = (std::filesystem::temp_directory_path() / "kavro-test.XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("cannot create a temporary directory");
  }
  path_ = pattern;
}

TempDirectory::~TempDirectory() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string TempDirectory::file(std::string_view name) const {
  return (path_ / name).string();
}

std::string TempDirectory::write_file(std::string_view name, std::string_view contents) const {
  const std::string target = file(name);
  std::filesystem::create_directories(std::filesystem::path(target).parent_path());
  std::ofstream stream(target, std::ios::binary);
  stream.write(contents.data(), static_cast<std::streamsize>(contents.size()));
  if (!stream) {
    throw std::runtime_error("cannot write " + target);
  }
  return target;
}

}  // namespace test_support
