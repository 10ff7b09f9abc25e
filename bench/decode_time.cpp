// kavro-decode-time <archive>: decodes every entry of an archive with libarchive in this
// process and prints the time it took, the floor that flashing the archive is measured against.

#include <archive.h>
#include <archive_entry.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

struct reader_free {
  void operator()(archive* reader) const { archive_read_free(reader); }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: kavro-decode-time <archive>\n");
    return 2;
  }
  const auto start = std::chrono::steady_clock::now();
  std::unique_ptr<archive, reader_free> reader(archive_read_new());
  archive_read_support_filter_all(reader.get());
  archive_read_support_format_all(reader.get());
  if (archive_read_open_filename(reader.get(), argv[1], 65536) != ARCHIVE_OK) {
    std::fprintf(stderr, "kavro-decode-time: cannot open %s\n", argv[1]);
    return 1;
  }
  std::vector<char> buffer(1 << 20);
  uint64_t bytes = 0;
  archive_entry* header = nullptr;
  while (archive_read_next_header(reader.get(), &header) == ARCHIVE_OK) {
    la_ssize_t got = 0;
    while ((got = archive_read_data(reader.get(), buffer.data(), buffer.size())) > 0) {
      bytes += static_cast<uint64_t>(got);
    }
    if (got < 0) {
      std::fprintf(stderr, "kavro-decode-time: %s\n", archive_error_string(reader.get()));
      return 1;
    }
  }
  const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
  std::printf("%.3f %llu\n", seconds.count(), static_cast<unsigned long long>(bytes));
  return 0;
}
