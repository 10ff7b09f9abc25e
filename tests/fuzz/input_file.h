#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

// The fuzzer's bytes as a file that the code under test opens by path: an in-memory file,
// closed when this goes out of scope.
class InputFile {
 public:
  InputFile(const uint8_t* data, size_t size) : fd_(memfd_create("fuzz-input", 0)) {
    if (size > 0 && write(fd_, data, size) != static_cast<ssize_t>(size)) {
      __builtin_trap();
    }
  }
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  ~InputFile() { close(fd_); }
  std::string path() const { return "/proc/self/fd/" + std::to_string(fd_); }

 private:
  int fd_;
};
