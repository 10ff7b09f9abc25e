#pragma once
// A second, independent look at refused input files, to say why in words.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// Each problem is a phrase to follow "reason: "; empty when none is found.
namespace inspection {

// Not there, a folder, not readable, or empty.
std::string file_problem(const std::string& path);

// What libarchive finds in an archive file: its entries by name with their sizes, the text of
// every entry named "manifest", and its message when the file cannot be read to the end.
struct ArchiveScan {
  std::string failure;
  std::map<std::string, int64_t> entries;
  std::vector<std::string> manifests;
};
ArchiveScan scan_archive(const std::string& path);

}  // namespace inspection
