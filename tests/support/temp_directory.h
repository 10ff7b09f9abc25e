#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace test_support {

// A fresh directory under the system's temporary directory, removed with everything in it
// when the object goes away.
class TempDirectory {
 public:
  TempDirectory();
  TempDirectory(const TempDirectory&) = delete;
  TempDirectory& operator=(const TempDirectory&) = delete;
  ~TempDirectory();

  const std::filesystem::path& path() const { return path_; }
  // Path of `name` inside the directory, as text for command lines.
  std::string file(std::string_view name) const;
  // Writes `contents` to `name` inside the directory and returns its path.
  std::string write_file(std::string_view name, std::string_view contents) const;

 private:
  std::filesystem::path path_;
};

}  // namespace test_support
