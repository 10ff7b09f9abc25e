#pragma once
// Building, signing, checking and listing firmware archives: the publisher's side of what
// kavro-flash reads. The command-line tool kavro-pack is a thin front end over these calls;
// tests use them directly to make good and deliberately broken archives.
//
// Every operation reports failure by throwing kavro_pack::Error with a message fit for a user.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace kavro_pack {

class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class Format {
  seven_zip,        // 7z, one solid LZMA2 block holding every entry
  seven_zip_store,  // 7z without compression
  zip,              // zip, each entry compressed on its own (not solid)
};

// One archive entry: its name inside the archive and either its bytes or a file to stream
// them from (so large images never have to sit in memory).
struct Entry {
  std::string name;
  std::variant<std::vector<uint8_t>, std::filesystem::path> content;
};

// Called as the entries' bytes are read: bytes read so far, and the total of all entries.
using Progress = std::function<void(std::uintmax_t done, std::uintmax_t total)>;

// Writes the entries, in the given order and exactly as given (duplicates, empty entries and
// names with folders included), to `output`; in 7z, empty entries come after all others, as the
// format's writer stores them. The archive is written under a temporary name in
// the same folder and renamed at the end, so a failure never leaves a partial `output`.
// `progress`, when set, hears of every block read.
void write_archive(std::span<const Entry> entries, const std::filesystem::path& output,
                   Format format, const Progress& progress = {});

// SHA-256 of the data, then an RSA PKCS#1 v1.5 signature over that digest with the PEM private
// key. Throws unless the key is an RSA key giving a SIGNATURE_SIZE-byte signature.
std::vector<uint8_t> sign_bytes(std::span<const uint8_t> data,
                                const std::filesystem::path& private_key_pem);
std::vector<uint8_t> sign_file(const std::filesystem::path& file,
                               const std::filesystem::path& private_key_pem);

// What `kavro-pack build` does: checks the manifest against the files (and its platform against
// the platforms kavro-flash knows), signs the named files and writes the archive: the manifest
// first, then the companions and the images in the order a session sends them.
struct BuildRequest {
  std::filesystem::path manifest;
  std::filesystem::path output;
  std::vector<std::filesystem::path> files;  // entry name = the file's own name
  std::optional<std::filesystem::path> sign_key;
  std::vector<std::string> sign_names;  // entry names that get a ".sign" companion
  Format format = Format::seven_zip;
  Progress progress;
};
// What was written: the number of entries and the archive's size in bytes.
struct BuildResult {
  std::size_t entries = 0;
  std::uintmax_t size = 0;
};
BuildResult build(const BuildRequest& request);

struct EntryInfo {
  std::string name;
  int64_t size = 0;
};

// The entries of an archive in archive order and the text of its first non-empty "manifest".
struct ArchiveContents {
  std::vector<EntryInfo> entries;
  std::optional<std::string> manifest;
};
ArchiveContents read_contents(const std::filesystem::path& archive);

// One ".sign" companion of an archive and whether it verifies against its data entry.
struct SignatureCheck {
  std::string name;     // the companion's entry name
  std::string problem;  // empty when the signature verifies
};
std::vector<SignatureCheck> verify(const std::filesystem::path& archive,
                                   const std::filesystem::path& public_key_pem);

}  // namespace kavro_pack
