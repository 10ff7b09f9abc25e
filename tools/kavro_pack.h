#pragma once
// Building, signing, checking and listing firmware archives: the publisher's side of what
// kavro-flash reads. The command-line tool kavro-pack is a thin front end over these calls;
// tests use them directly to make good and deliberately broken archives.
//
// Every operation reports failure by throwing kavro_pack::Error with a message fit for a user.

#include <cstdint>
#include <filesystem>
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

// Writes the entries, in the given order and exactly as given (duplicates, empty entries and
// names with folders included), to `output`; in 7z, empty entries come after all others, as the
// format's writer stores them. The archive is written under a temporary name in
// the same folder and renamed at the end, so a failure never leaves a partial `output`.
void write_archive(std::span<const Entry> entries, const std::filesystem::path& output,
                   Format format);

// SHA-256 of the data, then an RSA PKCS#1 v1.5 signature over that digest with the PEM private
// key. Throws unless the key is an RSA key giving a SIGNATURE_SIZE-byte signature.
std::vector<uint8_t> sign_bytes(std::span<const uint8_t> data,
                                const std::filesystem::path& private_key_pem);
std::vector<uint8_t> sign_file(const std::filesystem::path& file,
                               const std::filesystem::path& private_key_pem);

// What `kavro-pack build` does: checks the manifest against the files, signs the named files
// and writes the archive with entries sorted by name ("manifest" among them).
struct BuildRequest {
  std::filesystem::path manifest;
  std::filesystem::path output;
  std::vector<std::filesystem::path> files;  // entry name = the file's own name
  std::optional<std::filesystem::path> sign_key;
  std::vector<std::string> sign_names;  // entry names that get a ".sign" companion
  Format format = Format::seven_zip;
};
void build(const BuildRequest& request);

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
