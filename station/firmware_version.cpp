#include "station/firmware_version.h"

#include <archive.h>
#include <archive_entry.h>
#include <json-c/json.h>

#include <memory>
#include <string_view>

namespace station {
namespace {

constexpr size_t kManifestLimit = 1 << 20;  // a manifest is a few hundred bytes

// The text of the entry named "manifest", or empty.
std::string manifest_text(const std::string& archive_path) {
  std::unique_ptr<archive, decltype(&archive_read_free)> reader(archive_read_new(),
                                                                archive_read_free);
  archive_read_support_format_all(reader.get());
  archive_read_support_filter_all(reader.get());
  if (archive_read_open_filename(reader.get(), archive_path.c_str(), 1 << 16) != ARCHIVE_OK) {
    return {};
  }
  archive_entry* entry = nullptr;
  while (archive_read_next_header(reader.get(), &entry) == ARCHIVE_OK) {
    if (std::string_view(archive_entry_pathname(entry)) != "manifest") {
      continue;
    }
    std::string text;
    char chunk[4096];
    for (la_ssize_t got; (got = archive_read_data(reader.get(), chunk, sizeof chunk)) > 0;) {
      text.append(chunk, static_cast<size_t>(got));
      if (text.size() > kManifestLimit) {
        return {};
      }
    }
    return text;
  }
  return {};
}

}  // namespace

std::string firmware_version(const std::string& archive_path) {
  std::unique_ptr<json_object, decltype(&json_object_put)> root(
      json_tokener_parse(manifest_text(archive_path).c_str()), json_object_put);
  json_object* manifest = nullptr;
  json_object* version = nullptr;
  if (root == nullptr || !json_object_object_get_ex(root.get(), "manifest", &manifest) ||
      !json_object_object_get_ex(manifest, "firmware_version", &version) ||
      !json_object_is_type(version, json_type_string)) {
    return {};
  }
  return json_object_get_string(version);
}

}  // namespace station
