// Flashing settings: the built-in defaults per platform and the JSON settings file.

#include "firmware/settings.h"

#include <json-c/json.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <string_view>

#include "common/c_handle.h"
#include "firmware/json_keys.h"
#include "firmware/json_reading_notes.h"

namespace {

constexpr size_t PLATFORM_FIELD = sizeof(kavro_settings::platform);
constexpr size_t NAME_FIELD = sizeof(custom_partition::name);
constexpr int CUSTOM_SLOTS = 8;

struct platform_defaults {
  std::string_view name;
  uint32_t ota_enabled;
  uint64_t kernel_maxsize;
  uint64_t rootfs_maxsize;
};

// The keys of each object of a settings file; any other key is noted and ignored.
constexpr std::array<std::string_view, 1> root_keys{"settings"};
constexpr std::array<std::string_view, 3> settings_keys{"platform", "partitions", "clocks"};
constexpr std::array<std::string_view, 4> partitions_keys{"ota_enabled", "kernel_maxsize",
                                                          "rootfs_maxsize", "custom_partitions"};
constexpr std::array<std::string_view, 4> custom_partition_keys{"name", "maxsize", "flags",
                                                                "ota_alternative"};
constexpr std::array<std::string_view, 4> clocks_keys{"idsp_mhz", "core_mhz", "cortex_mhz",
                                                      "dram_mhz"};

constexpr std::array<platform_defaults, 6> defaults = {{
    {"software", 0, 0, 0},
    {"s5l", 1, 0x01000000, 0x20000000},
    {"cv22", 1, 0x01000000, 0x10000000},
    {"cv25", 1, 0x01000000, 0x2EE00000},
    {"s6lm", 1, 0x01000000, 0x2EE00000},
    {"cv28", 1, 0x01000000, 0x15E00000},
}};

const platform_defaults* find_defaults(const char* platform) {
  const std::string_view wanted = std::string_view{platform}.substr(0, PLATFORM_FIELD);
  const auto row =
      std::find_if(defaults.begin(), defaults.end(),
                   [&](const platform_defaults& entry) { return entry.name == wanted; });
  return row == defaults.end() ? nullptr : &*row;
}

// Stores at most field.size() characters of `text` and zero-fills the rest of the field, so a
// text of exactly field.size() characters fills the field without a terminator.
void copy_to_field(std::span<char> field, std::string_view text) {
  const size_t kept = std::min(text.size(), field.size());
  std::fill(std::copy_n(text.begin(), kept, field.begin()), field.end(), '\0');
}

// The platform field is handed out as a C string, so it always keeps room for the terminator:
// a longer name is cut to 63 characters.
void copy_platform(kavro_settings* record, std::string_view platform) {
  copy_to_field(record->platform, platform.substr(0, PLATFORM_FIELD - 1));
}

void mark_custom_partitions_unused(kavro_settings* record) {
  std::fill(std::begin(record->custom), std::end(record->custom), custom_partition{});
  record->custom_part_count = 0;
}

bool is_unused(const custom_partition& entry) {
  return entry.name[0] == '\0' && entry.maxsize == 0;
}

int load_default_partitions(kavro_settings* record) {
  const platform_defaults* row = find_defaults(record->platform);
  if (row == nullptr) {
    return SETTINGS_INVALID_PARAMETER;
  }
  mark_custom_partitions_unused(record);
  record->ota_enabled = row->ota_enabled;
  record->kernel_maxsize = row->kernel_maxsize;
  record->rootfs_maxsize = row->rootfs_maxsize;
  return 0;
}

// The path of each object in the notes: "" for "settings" itself, "partitions", ...
constexpr std::string_view SETTINGS_PATH = "";
constexpr std::string_view PARTITIONS_PATH = "partitions";
constexpr std::string_view CLOCKS_PATH = "clocks";

// A JSON null given for a name reads as the empty text.
int get_text_field(json_object* object, const char* key, std::span<char> field,
                   json_reading_notes& notes, std::string_view where) {
  std::string_view text;
  if (j_get_string(object, key, json_null_text::empty, text) != 0) {
    return JSON_KEY_ABSENT;
  }
  copy_to_field(field, text);
  notes.text(object, where, key, text.substr(0, field.size()));
  return 0;
}

// A size; a negative one counts as absent and is refused by the caller, so it needs no note.
int get_size(json_object* object, const char* key, uint64_t& size, json_reading_notes& notes,
             std::string_view where) {
  if (j_get_uint64(object, key, size) != 0) {
    return JSON_KEY_ABSENT;
  }
  notes.integer(object, where, key, std::to_string(size));
  return 0;
}

uint32_t clock_or_zero(json_object* clocks, const char* key, json_reading_notes& notes) {
  int32_t mhz = 0;
  j_get_int32(clocks, key, mhz);
  const auto clock = static_cast<uint32_t>(mhz);
  notes.integer(clocks, CLOCKS_PATH, key, std::to_string(clock));
  return clock;
}

int parse_custom_partition(json_object* element, custom_partition* entry, json_reading_notes& notes,
                           const std::string& where) {
  *entry = custom_partition{};
  notes.object(element, where);
  notes.unknown_keys(element, where, custom_partition_keys);
  if (get_text_field(element, "name", entry->name, notes, where) != 0 ||
      get_size(element, "maxsize", entry->maxsize, notes, where) != 0) {
    return SETTINGS_BAD_CUSTOM_PARTITION;
  }
  if (j_get_int32(element, "flags", entry->flags) == 0) {
    notes.integer(element, where, "flags", std::to_string(entry->flags));
  }
  get_text_field(element, "ota_alternative", entry->ota_alternative, notes, where);
  return 0;
}

bool names_equal(const char* a, const char* b) {
  return std::strncmp(a, b, NAME_FIELD) == 0;
}

// Gives every entry that names an OTA alternative a twin of the same size and flags in the
// lowest free entry. The count covers every entry up to the last one in use; a twin that lands
// in a listed entry left empty does not grow it, so the count never exceeds the eight entries.
int create_ota_twins(kavro_settings* record) {
  custom_partition* entries = record->custom;
  for (int i = 0; i < CUSTOM_SLOTS; ++i) {
    const char* alternative = entries[i].ota_alternative;
    if (alternative[0] == '\0') {
      continue;
    }
    if (std::any_of(entries, entries + CUSTOM_SLOTS, [&](const custom_partition& entry) {
          return names_equal(alternative, entry.name);
        })) {
      return SETTINGS_BAD_OTA_ALTERNATIVE;
    }
    custom_partition* free_entry = std::find_if(entries, entries + CUSTOM_SLOTS, is_unused);
    if (free_entry == entries + CUSTOM_SLOTS) {
      return SETTINGS_BAD_OTA_ALTERNATIVE;
    }
    custom_partition twin{};
    std::memcpy(twin.name, alternative, NAME_FIELD);
    twin.maxsize = entries[i].maxsize;
    twin.flags = entries[i].flags;
    *free_entry = twin;
    const auto used = static_cast<uint32_t>(free_entry - entries + 1);
    record->custom_part_count = std::max(record->custom_part_count, used);
  }
  return 0;
}

// A "custom_partitions" value that is present but not an array is rejected as an invalid
// custom partition rather than read as an empty list: the user meant to declare partitions.
int parse_custom_partitions(json_object* partitions, kavro_settings* record,
                            json_reading_notes& notes) {
  json_object* list = nullptr;
  const bool present = json_object_object_get_ex(partitions, "custom_partitions", &list);
  mark_custom_partitions_unused(record);
  if (!present) {
    return 0;
  }
  if (!json_object_is_type(list, json_type_array)) {
    return SETTINGS_BAD_CUSTOM_PARTITION;
  }
  const std::string where = json_path(PARTITIONS_PATH, "custom_partitions");
  const size_t listed = json_object_array_length(list);
  const size_t taken = std::min(listed, size_t{CUSTOM_SLOTS});
  if (listed > taken) {
    notes.add(where + " lists " + std::to_string(listed) + " partitions; those after the " +
              std::to_string(CUSTOM_SLOTS) + "th are ignored");
  }
  for (size_t i = 0; i < taken; ++i) {
    const int result =
        parse_custom_partition(json_object_array_get_idx(list, i), &record->custom[i], notes,
                               where + "[" + std::to_string(i) + "]");
    if (result != 0) {
      return result;
    }
  }
  record->custom_part_count = static_cast<uint32_t>(taken);
  return create_ota_twins(record);
}

int parse_partition_json(json_object* partitions, kavro_settings* record,
                         json_reading_notes& notes) {
  notes.object(partitions, PARTITIONS_PATH);
  notes.unknown_keys(partitions, PARTITIONS_PATH, partitions_keys);
  bool ota_enabled = false;
  if (j_get_bool(partitions, "ota_enabled", ota_enabled) != 0) {
    return SETTINGS_NO_OTA_ENABLED;
  }
  notes.boolean(partitions, PARTITIONS_PATH, "ota_enabled", ota_enabled);
  record->ota_enabled = ota_enabled ? 1 : 0;
  if (get_size(partitions, "kernel_maxsize", record->kernel_maxsize, notes, PARTITIONS_PATH) != 0) {
    return SETTINGS_NO_KERNEL_MAXSIZE;
  }
  if (get_size(partitions, "rootfs_maxsize", record->rootfs_maxsize, notes, PARTITIONS_PATH) != 0) {
    return SETTINGS_NO_ROOTFS_MAXSIZE;
  }
  return parse_custom_partitions(partitions, record, notes);
}

// An absent "clocks" object reads like an empty one: every clock 0, not set.
void parse_clocks_json(json_object* clocks, kavro_settings* record, json_reading_notes& notes) {
  if (clocks != nullptr) {
    notes.object(clocks, CLOCKS_PATH);
    notes.unknown_keys(clocks, CLOCKS_PATH, clocks_keys);
  }
  record->idsp_mhz = clock_or_zero(clocks, "idsp_mhz", notes);
  record->core_mhz = clock_or_zero(clocks, "core_mhz", notes);
  record->cortex_mhz = clock_or_zero(clocks, "cortex_mhz", notes);
  record->dram_mhz = clock_or_zero(clocks, "dram_mhz", notes);
}

using json_ptr = CHandle<json_object, json_object_put>;

// Reads the whole file into a NUL-terminated buffer.
int read_settings_text(const char* path, std::unique_ptr<char[]>* text) {
  const CHandle<std::FILE, std::fclose> file{std::fopen(path, "rb")};
  if (!file) {
    return SETTINGS_OPEN_FAILED;
  }
  if (std::fseek(file.get(), 0, SEEK_END) != 0) {
    return SETTINGS_BAD_FILE_SIZE;
  }
  const long size = std::ftell(file.get());
  if (size <= 0 || size > SETTINGS_MAX_FILE_SIZE) {
    return SETTINGS_BAD_FILE_SIZE;
  }
  std::rewind(file.get());
  text->reset(new (std::nothrow) char[static_cast<size_t>(size) + 1]());
  if (!*text) {
    return SETTINGS_NO_MEMORY;
  }
  if (std::fread(text->get(), 1, static_cast<size_t>(size), file.get()) !=
      static_cast<size_t>(size)) {
    return SETTINGS_READ_FAILED;
  }
  return 0;
}

int parse_json_text(const char* text, json_ptr* root) {
  const CHandle<json_tokener, json_tokener_free> tokener{json_tokener_new()};
  if (!tokener) {
    return SETTINGS_NO_MEMORY;
  }
  root->reset(json_tokener_parse_ex(tokener.get(), text, -1));
  return *root ? 0 : SETTINGS_BAD_JSON;
}

// The keys beside "settings" are not read at all; a platform or partitions put there by
// mistake would otherwise be lost without a word.
void note_root_keys(json_object* root, json_reading_notes& notes) {
  if (!json_object_is_type(root, json_type_object)) {
    return;
  }
  json_object_object_foreach(root, key, value) {
    static_cast<void>(value);
    if (std::find(root_keys.begin(), root_keys.end(), std::string_view(key)) == root_keys.end()) {
      notes.add(std::string(key) + " beside \"settings\" is not read, ignored");
    }
  }
}

int parse_settings_object(json_object* settings, kavro_settings* record,
                          json_reading_notes& notes) {
  notes.object(settings, "settings");
  notes.unknown_keys(settings, SETTINGS_PATH, settings_keys);
  // The record keeps a terminator after the platform, so at most 63 characters are read.
  char platform[PLATFORM_FIELD - 1];
  if (get_text_field(settings, "platform", platform, notes, SETTINGS_PATH) != 0) {
    return SETTINGS_NO_PLATFORM;
  }
  copy_platform(record, {platform, strnlen(platform, sizeof platform)});

  json_object* partitions = nullptr;
  const int result = json_object_object_get_ex(settings, "partitions", &partitions)
                         ? parse_partition_json(partitions, record, notes)
                         : load_default_partitions(record);
  if (result != 0) {
    return result;
  }
  json_object* clocks = nullptr;
  json_object_object_get_ex(settings, "clocks", &clocks);
  parse_clocks_json(clocks, record, notes);
  return 0;
}

}  // namespace

int kavro_settings_init(kavro_settings** settings) {
  if (settings == nullptr) {
    return SETTINGS_INVALID_PARAMETER;
  }
  *settings = new (std::nothrow) kavro_settings{};
  return *settings == nullptr ? SETTINGS_NO_MEMORY : 0;
}

void kavro_settings_destroy(kavro_settings** settings) {
  if (settings == nullptr) {
    return;
  }
  delete *settings;
  *settings = nullptr;
}

int kavro_settings_load_defaults(kavro_settings** settings, const char* platform) {
  if (settings == nullptr || *settings == nullptr || platform == nullptr || platform[0] == '\0') {
    return SETTINGS_INVALID_PARAMETER;
  }
  const platform_defaults* row = find_defaults(platform);
  if (row == nullptr) {
    return SETTINGS_NOT_FOUND;
  }
  kavro_settings* record = *settings;
  *record = kavro_settings{};
  copy_platform(record, platform);
  record->ota_enabled = row->ota_enabled;
  record->kernel_maxsize = row->kernel_maxsize;
  record->rootfs_maxsize = row->rootfs_maxsize;
  return 0;
}

int kavro_settings_parse_json_file(kavro_settings** settings, const char* path,
                                   std::vector<std::string>* warnings) {
  if (settings == nullptr || *settings == nullptr || path == nullptr) {
    return SETTINGS_INVALID_PARAMETER;
  }
  std::unique_ptr<char[]> text;
  int result = read_settings_text(path, &text);
  if (result != 0) {
    return result;
  }
  json_ptr root;
  result = parse_json_text(text.get(), &root);
  if (result != 0) {
    return result;
  }
  json_reading_notes notes("settings: ", warnings);
  note_root_keys(root.get(), notes);
  json_object* settings_object = nullptr;
  if (!json_object_object_get_ex(root.get(), "settings", &settings_object)) {
    return SETTINGS_NO_SETTINGS_OBJECT;
  }
  return parse_settings_object(settings_object, *settings, notes);
}

const char* kavro_settings_error_string(int code) {
  switch (code) {
    case SETTINGS_INVALID_PARAMETER:
      return "Invalid parameters specified";
    case SETTINGS_NO_MEMORY:
      return "Insufficient memory available";
    case SETTINGS_OPEN_FAILED:
      return "Could not open settings file";
    case SETTINGS_BAD_FILE_SIZE:
      return "Invalid settings file size";
    case SETTINGS_READ_FAILED:
      return "Could not read settings file data";
    case SETTINGS_BAD_JSON:
      return "Invalid json in settings file";
    case SETTINGS_NO_SETTINGS_OBJECT:
      return "Missing settings object in json data";
    case SETTINGS_NO_PLATFORM:
      return "Missing platform parameter in json data";
    case SETTINGS_NO_OTA_ENABLED:
      return "Missing ota_enabled parameter in json data";
    case SETTINGS_NO_KERNEL_MAXSIZE:
      return "Missing kernel_maxsize parameter in json data";
    case SETTINGS_NO_ROOTFS_MAXSIZE:
      return "Missing rootfs_maxsize parameter in json data";
    case SETTINGS_BAD_CUSTOM_PARTITION:
      return "Invalid custom partition found in json data";
    case SETTINGS_NOT_FOUND:
      return "Not found";
    case SETTINGS_BAD_OTA_ALTERNATIVE:
      return "Invalid custom OTA alternative partition";
    default:
      return "Unknown error";
  }
}

const char* kavro_settings_get_platform(kavro_settings** settings) {
  return (*settings)->platform;
}

uint32_t kavro_settings_get_ota_enabled(kavro_settings** settings) {
  return (*settings)->ota_enabled;
}

uint64_t kavro_settings_get_kernel_maxsize(kavro_settings** settings) {
  return (*settings)->kernel_maxsize;
}

uint64_t kavro_settings_get_rootfs_maxsize(kavro_settings** settings) {
  return (*settings)->rootfs_maxsize;
}

uint32_t kavro_settings_get_custom_part_count(kavro_settings** settings) {
  return (*settings)->custom_part_count;
}

const char* kavro_settings_get_custom_name(kavro_settings** settings, int32_t index) {
  if (index < 0 || index >= CUSTOM_SLOTS) {
    return nullptr;
  }
  return (*settings)->custom[index].name;
}

uint64_t kavro_settings_get_custom_maxsize(kavro_settings** settings, int32_t index) {
  if (index < 0 || index >= CUSTOM_SLOTS) {
    return UINT64_MAX;
  }
  return (*settings)->custom[index].maxsize;
}

uint32_t kavro_settings_get_idsp_mhz(kavro_settings** settings) {
  return (*settings)->idsp_mhz;
}

uint32_t kavro_settings_get_core_mhz(kavro_settings** settings) {
  return (*settings)->core_mhz;
}

uint32_t kavro_settings_get_cortex_mhz(kavro_settings** settings) {
  return (*settings)->cortex_mhz;
}

uint32_t kavro_settings_get_dram_mhz(kavro_settings** settings) {
  return (*settings)->dram_mhz;
}
