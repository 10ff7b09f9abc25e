// A second look at refused inputs: missing or unreadable files, JSON faults, archive contents.

#include "app/input_inspection.h"

#include <archive.h>
#include <archive_entry.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "common/c_handle.h"
#include "firmware/archive_format.h"

namespace inspection {
namespace {

using Reader = CHandle<archive, archive_read_free>;

std::string library_message(archive* reader) {
  const char* message = archive_error_string(reader);
  return message != nullptr ? message : "no message from libarchive";
}

std::string read_entry_text(archive* reader) {
  std::string text;
  char buffer[16384];
  la_ssize_t got = 0;
  while ((got = archive_read_data(reader, buffer, sizeof buffer)) > 0) {
    text.append(buffer, static_cast<size_t>(got));
  }
  return text;
}

}  // namespace

std::string file_problem(const std::string& path) {
  struct stat status {};
  if (stat(path.c_str(), &status) != 0) {
    return errno == ENOENT ? "the file does not exist" : std::string(std::strerror(errno));
  }
  if (S_ISDIR(status.st_mode)) {
    return "it is a folder, not a file";
  }
  if (access(path.c_str(), R_OK) != 0) {
    return "the file is not readable: " + std::string(std::strerror(errno));
  }
  if (status.st_size == 0) {
    return "the file is empty";
  }
  return "";
}

// A reader of its own rather than the archive store: the store serves archives the archive
// module accepted, and keeps neither libarchive's own message nor a second "manifest" entry,
// which are what explain a refusal.
ArchiveScan scan_archive(const std::string& path) {
  ArchiveScan scan;
  const Reader reader(archive_read_new());
  archive_read_support_filter_all(reader.get());
  archive_read_support_format_all(reader.get());
  if (archive_read_open_filename(reader.get(), path.c_str(), 65536) != ARCHIVE_OK) {
    scan.failure = "not an archive libarchive can read: " + library_message(reader.get());
    return scan;
  }
  archive_entry* entry = nullptr;
  int result = ARCHIVE_OK;
  while ((result = archive_read_next_header(reader.get(), &entry)) == ARCHIVE_OK) {
    const char* pathname = archive_entry_pathname(entry);
    const std::string name = pathname != nullptr ? pathname : "";
    scan.entries[name] = archive_entry_size(entry);
    if (name == MANIFEST_ENTRY && archive_entry_size(entry) > 0) {
      scan.manifests.push_back(read_entry_text(reader.get()));
    }
  }
  if (result != ARCHIVE_EOF) {
    scan.failure = "libarchive cannot read past entry " + std::to_string(scan.entries.size()) +
                   ": " + library_message(reader.get());
  }
  return scan;
}

}  // namespace inspection
