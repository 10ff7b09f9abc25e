// Writing archives through a temporary file, and reading any archive entry by entry.

#include "tools/pack_archive_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>

#include "firmware/archive_format.h"
#include "tools/pack_handles.h"

namespace kavro_pack {
namespace {

using detail::ArchiveEntry;
using detail::ArchiveReader;
using detail::ArchiveWriter;

constexpr std::size_t READ_BLOCK_SIZE = 65536;

std::string archive_message(archive* handle) {
  const char* text = archive_error_string(handle);
  return text != nullptr ? text : "unknown archive error";
}

// A file created next to the final output that becomes the output only by commit(); until
// then it is removed again when the object goes away. Since the commit replaces whatever has
// the output's name, an output that exists must be a regular file: run as root, `-o /dev/null`
// would otherwise replace the device with an archive.
class TemporaryOutput {
 public:
  explicit TemporaryOutput(const std::filesystem::path& output) : output_(output) {
    std::error_code missing;
    const auto existing = std::filesystem::status(output, missing);
    if (!missing && !std::filesystem::is_regular_file(existing)) {
      throw Error("cannot write " + output.string() +
                  ": not a regular file, and kavro-pack replaces its output whole");
    }
    std::filesystem::path folder = output.parent_path();
    if (folder.empty()) {
      folder = ".";
    }
    std::string hidden_name(".");
    hidden_name += output.filename().string();
    hidden_name += ".XXXXXX";
    std::string pattern = (folder / hidden_name).string();
    fd_ = mkstemp(pattern.data());
    if (fd_ < 0) {
      throw Error("cannot write " + output.string() + ": " + std::strerror(errno));
    }
    path_ = pattern;
  }
  TemporaryOutput(const TemporaryOutput&) = delete;
  TemporaryOutput& operator=(const TemporaryOutput&) = delete;
  ~TemporaryOutput() {
    if (fd_ >= 0) {
      close(fd_);
    }
    if (!committed_) {
      std::error_code ignored;
      std::filesystem::remove(path_, ignored);
    }
  }

  int fd() const { return fd_; }

  void commit() {
    // mkstemp creates the file readable by its owner only; an archive is meant to be shared.
    const bool synced = fchmod(fd_, 0644) == 0 && fsync(fd_) == 0;
    const int closed = close(fd_);
    fd_ = -1;
    if (!synced || closed != 0 || std::rename(path_.c_str(), output_.c_str()) != 0) {
      throw Error("cannot write " + output_.string() + ": " + std::strerror(errno));
    }
    committed_ = true;
  }

 private:
  std::filesystem::path output_;
  std::string path_;
  int fd_ = -1;
  bool committed_ = false;
};

void choose_format(archive* writer, Format format) {
  int result = ARCHIVE_OK;
  switch (format) {
    case Format::seven_zip:
      result = archive_write_set_format_7zip(writer);
      if (result == ARCHIVE_OK) {
        result = archive_write_set_format_option(writer, "7zip", "compression", "lzma2");
      }
      break;
    case Format::seven_zip_store:
      result = archive_write_set_format_7zip(writer);
      if (result == ARCHIVE_OK) {
        result = archive_write_set_format_option(writer, "7zip", "compression", "store");
      }
      break;
    case Format::zip:
      result = archive_write_set_format_zip(writer);
      break;
  }
  if (result != ARCHIVE_OK) {
    throw Error("cannot set up the archive format: " + archive_message(writer));
  }
}

void write_data(archive* writer, const std::string& name, std::span<const uint8_t> data) {
  while (!data.empty()) {
    const la_ssize_t written = archive_write_data(writer, data.data(), data.size());
    if (written <= 0) {
      throw Error("cannot write entry " + name + ": " + archive_message(writer));
    }
    data = data.subspan(static_cast<std::size_t>(written));
  }
}

// Counts the bytes read for the caller's progress display.
class ReadCounter {
 public:
  ReadCounter(const Progress& progress, std::uintmax_t total)
      : progress_(progress), total_(total) {}
  void add(std::uintmax_t bytes) {
    done_ += bytes;
    if (progress_) {
      progress_(done_, total_);
    }
  }

 private:
  const Progress& progress_;
  std::uintmax_t total_;
  std::uintmax_t done_ = 0;
};

void stream_file(archive* writer, const std::string& name, const std::filesystem::path& file,
                 std::uintmax_t size, ReadCounter& counter) {
  std::ifstream input(file, std::ios::binary);
  if (!input) {
    throw Error("cannot read " + file.string());
  }
  std::vector<uint8_t> buffer(READ_BLOCK_SIZE);
  std::uintmax_t total = 0;
  while (input) {
    input.read(reinterpret_cast<char*>(buffer.data()), static_cast<std::streamsize>(buffer.size()));
    const auto count = static_cast<std::size_t>(input.gcount());
    total += count;
    write_data(writer, name, std::span(buffer).first(count));
    counter.add(count);
  }
  if (input.bad() || total != size) {
    throw Error("cannot read " + file.string() + " completely (did it change while packing?)");
  }
}

std::uintmax_t content_size(const Entry& entry) {
  if (const auto* bytes = std::get_if<std::vector<uint8_t>>(&entry.content)) {
    return bytes->size();
  }
  const auto& file = std::get<std::filesystem::path>(entry.content);
  std::error_code error;
  const std::uintmax_t size = std::filesystem::file_size(file, error);
  if (error) {
    throw Error("cannot read " + file.string() + ": " + error.message());
  }
  return size;
}

void write_entry(archive* writer, const Entry& entry, ReadCounter& counter) {
  const std::uintmax_t size = content_size(entry);
  ArchiveEntry header(archive_entry_new());
  archive_entry_set_pathname(header.get(), entry.name.c_str());
  archive_entry_set_size(header.get(), static_cast<la_int64_t>(size));
  archive_entry_set_filetype(header.get(), AE_IFREG);
  archive_entry_set_perm(header.get(), 0644);
  if (archive_write_header(writer, header.get()) != ARCHIVE_OK) {
    throw Error("cannot write entry " + entry.name + ": " + archive_message(writer));
  }
  if (const auto* bytes = std::get_if<std::vector<uint8_t>>(&entry.content)) {
    write_data(writer, entry.name, *bytes);
    counter.add(bytes->size());
  } else {
    stream_file(writer, entry.name, std::get<std::filesystem::path>(entry.content), size, counter);
  }
}

}  // namespace

void write_archive(std::span<const Entry> entries, const std::filesystem::path& output,
                   Format format, const Progress& progress) {
  std::uintmax_t total = 0;
  for (const Entry& entry : entries) {
    total += content_size(entry);
  }
  ReadCounter counter(progress, total);
  TemporaryOutput temporary(output);
  ArchiveWriter writer(archive_write_new());
  choose_format(writer.get(), format);
  archive_write_set_bytes_in_last_block(writer.get(), 1);
  if (archive_write_open_fd(writer.get(), temporary.fd()) != ARCHIVE_OK) {
    throw Error("cannot write " + output.string() + ": " + archive_message(writer.get()));
  }
  for (const Entry& entry : entries) {
    write_entry(writer.get(), entry, counter);
  }
  if (archive_write_close(writer.get()) != ARCHIVE_OK) {
    throw Error("cannot write " + output.string() + ": " + archive_message(writer.get()));
  }
  temporary.commit();
}

namespace detail {

std::span<const uint8_t> EntryData::next_block() {
  const void* block = nullptr;
  std::size_t size = 0;
  la_int64_t offset = 0;
  const int result = archive_read_data_block(reader_, &block, &size, &offset);
  if (result == ARCHIVE_EOF) {
    return {};
  }
  if (result != ARCHIVE_OK) {
    throw Error("cannot read archive data: " + archive_message(reader_));
  }
  return {static_cast<const uint8_t*>(block), size};
}

// Skipping unread data could make libarchive 3.6 lose its place in a solid 7z stream: when the
// skipped entries end on a 256 KiB boundary of the stream, the next entry's data reads as
// truncated. Reading it through costs the same decompression.
void EntryData::read_through() {
  for (auto block = next_block(); !block.empty(); block = next_block()) {
  }
}

void for_each_entry(const std::filesystem::path& archive_path,
                    const std::function<void(const EntryInfo&, EntryData&)>& visit) {
  ArchiveReader reader(archive_read_new());
  archive_read_support_filter_all(reader.get());
  archive_read_support_format_all(reader.get());
  if (archive_read_open_filename(reader.get(), archive_path.c_str(), READ_BLOCK_SIZE) !=
      ARCHIVE_OK) {
    throw Error("cannot open archive " + archive_path.string() + ": " +
                archive_message(reader.get()));
  }
  archive_entry* header = nullptr;
  for (;;) {
    const int result = archive_read_next_header(reader.get(), &header);
    if (result == ARCHIVE_EOF) {
      return;
    }
    if (result < ARCHIVE_WARN) {
      throw Error("cannot read archive " + archive_path.string() + ": " +
                  archive_message(reader.get()));
    }
    const char* name = archive_entry_pathname(header);
    const EntryInfo info{name != nullptr ? name : "", archive_entry_size(header)};
    EntryData data(reader.get());
    visit(info, data);
    data.read_through();
  }
}

}  // namespace detail

ArchiveContents read_contents(const std::filesystem::path& archive_path) {
  ArchiveContents contents;
  detail::for_each_entry(archive_path, [&](const EntryInfo& info, detail::EntryData& data) {
    contents.entries.push_back(info);
    if (info.name != MANIFEST_ENTRY || info.size <= 0 || contents.manifest) {
      return;
    }
    std::string text;
    for (auto block = data.next_block(); !block.empty(); block = data.next_block()) {
      text.append(reinterpret_cast<const char*>(block.data()), block.size());
    }
    contents.manifest = std::move(text);
  });
  return contents;
}

}  // namespace kavro_pack
