// Building a firmware archive: the manifest checked against the files, the named images signed
// and the entries ordered as a session reads them.

#include "tools/kavro_pack.h"

#include <algorithm>
#include <array>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string_view>

#include "common/json_problem.h"
#include "common/products.h"
#include "firmware/archive_format.h"
#include "tools/pack_handles.h"

namespace kavro_pack {
namespace {

// Partitions in the order a session sends them; the custom ones, never sent, come after them.
constexpr auto FLASH_ORDER = [] {
  std::array<int, archive_partitions.size() - 1> order{};
  auto next = std::copy(PARTITION_SEND_ORDER.begin(), PARTITION_SEND_ORDER.end(), order.begin());
  for (int id = PART_CUSTOM_A; id <= PART_CUSTOM_H; ++id) {
    *next++ = id;
  }
  return order;
}();

// The identifier of the partition a manifest calls `name`; 0 for a name it may not use.
int partition_id_of(std::string_view name) {
  for (int id = PART_BOOTSTRAP; is_partition_id(id); ++id) {
    if (archive_partitions[static_cast<std::size_t>(id)].name == name) {
      return id;
    }
  }
  return 0;
}

std::vector<uint8_t> read_whole_file(const std::filesystem::path& file) {
  std::ifstream input(file, std::ios::binary);
  if (!input) {
    throw Error("cannot read " + file.string());
  }
  std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(input),
                             std::istreambuf_iterator<char>()};
  if (input.bad()) {
    throw Error("cannot read " + file.string());
  }
  return bytes;
}

detail::Json parse_json(const std::vector<uint8_t>& bytes, const std::string& origin) {
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  const CHandle<json_tokener, json_tokener_free> tokener(json_tokener_new());
  detail::Json root(
      json_tokener_parse_ex(tokener.get(), text.data(), static_cast<int>(text.size())));
  if (json_tokener_get_error(tokener.get()) != json_tokener_success) {
    throw Error(origin + " is not valid JSON: " + json_problem(text));
  }
  const std::size_t end = json_tokener_get_parse_end(tokener.get());
  const std::size_t after = text.find_first_not_of(" \t\r\n\f\v", end);
  if (after != std::string_view::npos) {
    throw Error(origin + " is not valid JSON: text follows the JSON value at " +
                json_position(text, after));
  }
  return root;
}

json_object* member(json_object* object, const char* key, json_type type) {
  json_object* value = nullptr;
  if (!json_object_object_get_ex(object, key, &value) || !json_object_is_type(value, type)) {
    return nullptr;
  }
  return value;
}

void require_member(json_object* object, const std::string& where, const char* key, json_type type,
                    const char* type_name) {
  if (member(object, key, type) == nullptr) {
    throw Error("manifest: " + where + " needs \"" + key + "\" (" + type_name + ")");
  }
}

// The rules the flasher applies when it reads a partition; checked here so that a published
// archive never fails to load.
void check_partition(int id, json_object* details,
                     const std::map<std::string, std::uintmax_t>& file_sizes) {
  const std::string where =
      "partition \"" + std::string(archive_partitions[static_cast<std::size_t>(id)].name) + "\"";
  if (!json_object_is_type(details, json_type_object)) {
    throw Error("manifest: " + where + " is not an object");
  }
  require_member(details, where, PARTITION_KEY_FILENAME, json_type_string, "a string");
  require_member(details, where, PARTITION_KEY_FILESIZE, json_type_int, "an integer");
  if (id == PART_BOOTSTRAP) {
    for (const char* key : PARTITION_KEYS_BOOTSTRAP_OFFSETS) {
      require_member(details, where, key, json_type_int, "an integer");
    }
  }
  if (id == PART_BOOTLOADER) {
    require_member(details, where, PARTITION_KEY_PUBLIC_KEY_OFFSET, json_type_int, "an integer");
  }
  if (partition_needs_load_address(id)) {
    json_object* load_address = member(details, PARTITION_KEY_LOAD_ADDRESS, json_type_int);
    if (load_address == nullptr || json_object_get_int64(load_address) == 0) {
      throw Error("manifest: " + where + " needs a non-zero \"" + PARTITION_KEY_LOAD_ADDRESS +
                  "\"");
    }
  }
  const std::string filename =
      json_object_get_string(member(details, PARTITION_KEY_FILENAME, json_type_string));
  const int64_t filesize =
      json_object_get_int64(member(details, PARTITION_KEY_FILESIZE, json_type_int));
  const auto file = file_sizes.find(filename);
  if (file == file_sizes.end()) {
    throw Error("manifest: " + where + " names " + filename + ", which is not among the files");
  }
  if (filesize < 0 || static_cast<std::uintmax_t>(filesize) != file->second) {
    throw Error("size mismatch: manifest gives " + filename + " \"filesize\" " +
                std::to_string(filesize) + ", the file has " + std::to_string(file->second) +
                " bytes");
  }
}

void check_manifest(json_object* root, const std::map<std::string, std::uintmax_t>& file_sizes) {
  json_object* manifest = member(root, MANIFEST_KEY_ROOT, json_type_object);
  if (manifest == nullptr) {
    throw Error("manifest: the top level needs a \"manifest\" object");
  }
  const std::string where = std::string("\"") + MANIFEST_KEY_ROOT + "\"";
  require_member(manifest, where, MANIFEST_KEY_PLATFORM, json_type_string, "a string");
  const std::string platform =
      json_object_get_string(member(manifest, MANIFEST_KEY_PLATFORM, json_type_string));
  if (!is_known_platform(platform)) {
    throw Error("manifest: platform \"" + platform + "\" is none of " + known_platform_names() +
                ", so kavro-flash would refuse the archive");
  }
  require_member(manifest, where, MANIFEST_KEY_FIRMWARE_VERSION, json_type_string, "a string");
  require_member(manifest, where, MANIFEST_KEY_PARTITIONS, json_type_object, "an object");
  json_object_object_foreach(member(manifest, MANIFEST_KEY_PARTITIONS, json_type_object), name,
                             details) {
    const int id = partition_id_of(name);
    if (id == 0) {
      throw Error("manifest: unknown partition \"" + std::string(name) + "\"");
    }
    check_partition(id, details, file_sizes);
  }
}

std::map<std::string, std::uintmax_t> collect_files(
    const std::vector<std::filesystem::path>& files) {
  std::map<std::string, std::uintmax_t> sizes;
  for (const auto& file : files) {
    const std::string name = file.filename().string();
    std::error_code error;
    if (!std::filesystem::is_regular_file(file, error)) {
      throw Error("not a readable file: " + file.string());
    }
    if (name == MANIFEST_ENTRY) {
      throw Error("a file may not be called \"manifest\": " + file.string());
    }
    const std::uintmax_t size = std::filesystem::file_size(file, error);
    if (error) {
      throw Error("cannot read " + file.string() + ": " + error.message());
    }
    if (!sizes.emplace(name, size).second) {
      throw Error("two files are named " + name);
    }
  }
  return sizes;
}

void check_signing(const BuildRequest& request,
                   const std::map<std::string, std::uintmax_t>& file_sizes) {
  if (request.sign_key.has_value() != !request.sign_names.empty()) {
    throw Error("--sign-key and --sign go together");
  }
  std::set<std::string> signed_names;
  for (const auto& name : request.sign_names) {
    if (!file_sizes.contains(name)) {
      throw Error("cannot sign " + name + ": it is not among the files");
    }
    if (file_sizes.contains(name + std::string(SIGNATURE_SUFFIX))) {
      throw Error("cannot sign " + name + ": a file " + name + ".sign is already given");
    }
    if (!signed_names.insert(name).second) {
      throw Error(name + " is named twice in --sign");
    }
  }
}

// The position of each named file in the order a session sends partitions; files that no
// partition names come after all of them.
std::map<std::string, std::size_t> flash_ranks(json_object* root) {
  json_object* partitions = member(member(root, MANIFEST_KEY_ROOT, json_type_object),
                                   MANIFEST_KEY_PARTITIONS, json_type_object);
  std::map<std::string, std::size_t> ranks;
  for (std::size_t rank = 0; rank < FLASH_ORDER.size(); ++rank) {
    const std::string name(archive_partitions[static_cast<std::size_t>(FLASH_ORDER[rank])].name);
    json_object* details = member(partitions, name.c_str(), json_type_object);
    if (details != nullptr) {
      ranks.emplace(
          json_object_get_string(member(details, PARTITION_KEY_FILENAME, json_type_string)), rank);
    }
  }
  return ranks;
}

// Orders file names by flash rank, then by name.
auto flash_order(const std::map<std::string, std::size_t>& ranks) {
  return [&ranks](const std::string& a, const std::string& b) {
    const auto rank_of = [&ranks](const std::string& name) {
      const auto found = ranks.find(name);
      return found != ranks.end() ? found->second : FLASH_ORDER.size();
    };
    return std::pair(rank_of(a), a) < std::pair(rank_of(b), b);
  };
}

}  // namespace

BuildResult build(const BuildRequest& request) {
  const auto file_sizes = collect_files(request.files);
  check_signing(request, file_sizes);
  std::vector<uint8_t> manifest = read_whole_file(request.manifest);
  const auto root = parse_json(manifest, request.manifest.string());
  check_manifest(root.get(), file_sizes);
  const auto ranks = flash_ranks(root.get());

  // A reader meets the manifest and the signatures at once, then each image in the order a
  // session sends it, so nothing waits for an image that is not needed yet.
  std::vector<Entry> entries;
  entries.push_back({std::string(MANIFEST_ENTRY), std::move(manifest)});
  std::vector<std::string> sign_names = request.sign_names;
  std::sort(sign_names.begin(), sign_names.end(), flash_order(ranks));
  for (const auto& name : sign_names) {
    const auto file = std::find_if(request.files.begin(), request.files.end(),
                                   [&](const auto& path) { return path.filename() == name; });
    entries.push_back({name + std::string(SIGNATURE_SUFFIX), sign_file(*file, *request.sign_key)});
  }
  std::vector<std::filesystem::path> files = request.files;
  std::sort(files.begin(), files.end(), [&](const auto& a, const auto& b) {
    return flash_order(ranks)(a.filename().string(), b.filename().string());
  });
  for (const auto& file : files) {
    entries.push_back({file.filename().string(), file});
  }
  write_archive(entries, request.output, request.format, request.progress);
  std::error_code error;
  const std::uintmax_t size = std::filesystem::file_size(request.output, error);
  if (error) {
    throw Error("cannot read back " + request.output.string() + ": " + error.message());
  }
  return {entries.size(), size};
}

}  // namespace kavro_pack
