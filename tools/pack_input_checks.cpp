// The checks kavro-pack makes of a publisher's inputs before the library sees them.

#include "tools/pack_input_checks.h"

#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include "firmware/archive_format.h"
#include "tools/kavro_pack.h"
#include "tools/pack_handles.h"

namespace kavro_pack {
namespace {

std::string read_text(const std::filesystem::path& file) {
  std::ifstream input(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(input), std::istreambuf_iterator<char>()};
}

// The "filename" of every partition of the manifest; empty when there are none to read.
std::set<std::string> named_files(const std::filesystem::path& manifest) {
  const detail::Json root(json_tokener_parse(read_text(manifest).c_str()));
  json_object* body = nullptr;
  json_object* partitions = nullptr;
  std::set<std::string> names;
  if (!json_object_object_get_ex(root.get(), MANIFEST_KEY_ROOT, &body) ||
      !json_object_object_get_ex(body, MANIFEST_KEY_PARTITIONS, &partitions) ||
      !json_object_is_type(partitions, json_type_object)) {
    return names;
  }
  json_object_iter partition{};
  json_object_object_foreachC(partitions, partition) {
    json_object* filename = nullptr;
    if (json_object_object_get_ex(partition.val, PARTITION_KEY_FILENAME, &filename)) {
      names.insert(json_object_get_string(filename));
    }
  }
  return names;
}

bool is_named(const std::string& name, const std::set<std::string>& names) {
  if (names.contains(name)) {
    return true;
  }
  return name.ends_with(SIGNATURE_SUFFIX) &&
         names.contains(name.substr(0, name.size() - SIGNATURE_SUFFIX.size()));
}

}  // namespace

void require_files_named(const std::filesystem::path& manifest,
                         const std::vector<std::filesystem::path>& files) {
  const std::set<std::string> names = named_files(manifest);
  if (names.empty()) {
    return;
  }
  for (const auto& file : files) {
    std::error_code error;
    const std::string name = file.filename().string();
    // A file called "manifest" is refused by the build itself, with the reason that fits.
    if (std::filesystem::is_regular_file(file, error) && name != MANIFEST_ENTRY &&
        !is_named(name, names)) {
      throw Error(file.string() + " is not named by the manifest " + manifest.string() +
                  ": it would be packed but never flashed");
    }
  }
}

void require_public_key(const std::filesystem::path& pem) {
  if (read_text(pem).find("PRIVATE KEY-----") != std::string::npos) {
    throw Error(pem.string() +
                " is a private key; verify needs the public key, made with: openssl pkey -in " +
                pem.string() + " -pubout -out public.pem");
  }
}

}  // namespace kavro_pack
