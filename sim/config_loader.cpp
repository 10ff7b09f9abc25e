// Reads the simulator's JSON configuration into module descriptions, naming every bad item.

#include "sim/config_loader.h"

#include <json-c/json.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <limits>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <sstream>
#include <string>

#include "common/c_handle.h"
#include "common/products.h"
#include "sim/config_keys.h"
#include "sim/flash_bootloader.h"
#include "sim/hex.h"

namespace sim {
namespace {

using JsonPtr = CHandle<json_object, json_object_put>;

constexpr size_t kSerialLimit = 126;

struct CommandName {
  std::string_view name;
  uint32_t id;
};

constexpr std::array<CommandName, 10> kCommandNames{{
    {"any", kAnyBlock},
    {"partition_details", kCommandPartitionDetails},
    {"image_header", kCommandImageHeader},
    {"block_header", kCommandBlockHeader},
    {"erase_partition", kCommandErasePartition},
    {"ptb_write", kCommandPtbWrite},
    {"reboot", kCommandReboot},
    {"device_id", kCommandDeviceId},
    {"signature", kCommandSignatureBlock},
    {"data", kDataBlock},
}};

[[noreturn]] void fail(const std::string& where, const std::string& problem) {
  throw ConfigError(where + ": " + problem);
}

std::string in_quotes(std::string_view text) {
  return "\"" + std::string(text) + "\"";
}

void require_type(json_object* value, json_type type, const std::string& where,
                  std::string_view expected) {
  if (!json_object_is_type(value, type)) {
    fail(where, "must be " + std::string(expected));
  }
}

// Every key of `object` must be one of `allowed`.
void check_keys(json_object* object, const std::string& where,
                std::span<const std::string_view> allowed) {
  json_object_object_foreach(object, key, value) {
    static_cast<void>(value);
    if (std::ranges::find(allowed, std::string_view(key)) == allowed.end()) {
      fail(where, "unknown key " + in_quotes(key));
    }
  }
}

json_object* member(json_object* object, const char* key) {
  json_object* value = nullptr;
  return json_object_object_get_ex(object, key, &value) ? value : nullptr;
}

uint64_t read_unsigned(json_object* value, const std::string& where, uint64_t max) {
  require_type(value, json_type_int, where, "a whole number");
  if (json_object_get_int64(value) < 0) {
    fail(where, "must not be negative");
  }
  const uint64_t number = json_object_get_uint64(value);
  if (number > max) {
    fail(where, "must be at most " + std::to_string(max));
  }
  return number;
}

template <typename T>
void read_unsigned_into(json_object* object, const char* key, const std::string& where, T& field) {
  if (json_object* value = member(object, key)) {
    field = static_cast<T>(read_unsigned(value, where + "." + key, std::numeric_limits<T>::max()));
  }
}

void read_string_into(json_object* object, const char* key, const std::string& where,
                      std::string& field) {
  if (json_object* value = member(object, key)) {
    require_type(value, json_type_string, where + "." + key, "a string");
    field = json_object_get_string(value);
  }
}

void read_bool_into(json_object* object, const char* key, const std::string& where, bool& field) {
  if (json_object* value = member(object, key)) {
    require_type(value, json_type_boolean, where + "." + key, "true or false");
    field = json_object_get_boolean(value) != 0;
  }
}

uint32_t read_command(json_object* value, const std::string& where) {
  if (json_object_is_type(value, json_type_string)) {
    const std::string_view name = json_object_get_string(value);
    const auto found = std::ranges::find(kCommandNames, name, &CommandName::name);
    if (found == kCommandNames.end()) {
      fail(where, "unknown command " + in_quotes(name));
    }
    return found->id;
  }
  const uint64_t id = read_unsigned(value, where, kDataBlock);
  if (id > kCommandSignatureBlock && id != kDataBlock) {
    fail(where, "unknown command " + std::to_string(id));
  }
  return static_cast<uint32_t>(id);
}

Fault read_fault(json_object* object, const std::string& where) {
  require_type(object, json_type_object, where, "an object");
  json_object* kind_value = member(object, kFaultKindKey.data());
  if (kind_value == nullptr) {
    fail(where, "missing key " + in_quotes(kFaultKindKey));
  }
  require_type(kind_value, json_type_string, where + "." + std::string(kFaultKindKey), "a string");
  const std::string_view kind_name = json_object_get_string(kind_value);
  const auto kind = std::ranges::find(kFaultKinds, kind_name, &FaultKindName::name);
  if (kind == kFaultKinds.end()) {
    fail(where + "." + std::string(kFaultKindKey), "unknown fault " + in_quotes(kind_name));
  }
  std::vector<std::string_view> allowed(kind->keys.begin(), kind->keys.end());
  allowed.push_back(kFaultKindKey);
  check_keys(object, where, allowed);

  Fault fault;
  fault.kind = kind->kind;
  if (json_object* command = member(object, "command")) {
    fault.command_id = read_command(command, where + ".command");
  }
  read_unsigned_into(object, "occurrence", where, fault.occurrence);
  read_unsigned_into(object, "after_control_transfers", where, fault.after_control_transfers);
  read_unsigned_into(object, "after_image_bytes", where, fault.after_image_bytes);
  if (fault.kind == Fault::Kind::Status) {
    if (member(object, "status") == nullptr) {
      fail(where, "missing key \"status\"");
    }
    read_unsigned_into(object, "status", where, fault.status);
    if (fault.status == kStatusOk) {
      fail(where + ".status", "must not be 0 (that is no fault)");
    }
  }
  if (json_object* piece = member(object, "piece_size")) {
    fault.piece_size =
        static_cast<uint32_t>(read_unsigned(piece, where + ".piece_size", kResponseSize));
    if (fault.piece_size == 0) {
      fail(where + ".piece_size", "must be 1 to " + std::to_string(kResponseSize));
    }
  }
  return fault;
}

Timing read_timing(json_object* object, const std::string& where) {
  require_type(object, json_type_object, where, "an object");
  check_keys(object, where, kTimingKeys);
  Timing timing;
  read_unsigned_into(object, "control_latency_us", where, timing.control_latency_us);
  read_unsigned_into(object, "bulk_bytes_per_second", where, timing.bulk_bytes_per_second);
  read_unsigned_into(object, "flash_bytes_per_second", where, timing.flash_bytes_per_second);
  return timing;
}

bool known_product(const std::string& platform, uint32_t revision) {
  return std::ranges::any_of(product_table.begin() + 1, product_table.end(),
                             [&](const product_entry& entry) {
                               return platform == entry.name && revision == entry.hw_version;
                             });
}

void check_platform(const ModuleConfig& config, const std::string& where) {
  if (!known_product(config.platform, 0) && !known_product(config.platform, 1)) {
    fail(where + ".platform", "unknown platform " + in_quotes(config.platform) +
                                  " (known: s5l, cv22, cv25, s6lm, cv28)");
  }
  if (!known_product(config.platform, config.revision)) {
    fail(where + ".revision", "platform " + in_quotes(config.platform) + " has no revision " +
                                  std::to_string(config.revision));
  }
}

ModuleConfig read_module(json_object* object, const std::string& where);

// The modules plugged into the same port after this one: they take its port, so they name none.
void read_followers(json_object* object, const std::string& where, ModuleConfig& config) {
  json_object* next = member(object, "next");
  if (next == nullptr) {
    return;
  }
  require_type(next, json_type_array, where + ".next", "an array");
  for (size_t i = 0; i < json_object_array_length(next); ++i) {
    const std::string follower_where = where + ".next[" + std::to_string(i) + "]";
    json_object* follower = json_object_array_get_idx(next, i);
    if (json_object_is_type(follower, json_type_object) &&
        (member(follower, "port") != nullptr || member(follower, "next") != nullptr)) {
      fail(follower_where, "takes the port of the module it follows: no \"port\" or \"next\"");
    }
    config.next.push_back(read_module(follower, follower_where));
    config.next.back().port = config.port;
  }
}

ModuleConfig read_module(json_object* object, const std::string& where) {
  require_type(object, json_type_object, where, "an object");
  check_keys(object, where, kModuleKeys);
  if (member(object, "revision") != nullptr && member(object, "adc_reading") != nullptr) {
    fail(where, "give either \"revision\" or \"adc_reading\", not both");
  }
  ModuleConfig config;
  read_string_into(object, "port", where, config.port);
  read_string_into(object, "platform", where, config.platform);
  read_string_into(object, "serial", where, config.serial);
  read_unsigned_into(object, "revision", where, config.revision);
  if (json_object* reading = member(object, "adc_reading")) {
    config.adc_reading = static_cast<uint32_t>(
        read_unsigned(reading, where + ".adc_reading", std::numeric_limits<uint32_t>::max()));
  }
  read_string_into(object, "flash_dir", where, config.flash_dir);
  read_unsigned_into(object, "attach_after_ms", where, config.attach_after_ms);
  read_unsigned_into(object, "leave_after_ms", where, config.leave_after_ms);
  read_unsigned_into(object, "reenumerate_ms", where, config.reenumerate_ms);
  read_unsigned_into(object, "flash_capacity", where, config.flash_capacity);
  read_unsigned_into(object, "bootloader_size", where, config.bootloader_size);
  read_string_into(object, "bootloader_sha256", where, config.bootloader_sha256);
  read_bool_into(object, "keep_image_bytes", where, config.keep_image_bytes);
  read_bool_into(object, "record_traffic", where, config.record_traffic);
  if (json_object* faults = member(object, "faults")) {
    require_type(faults, json_type_array, where + ".faults", "an array");
    for (size_t i = 0; i < json_object_array_length(faults); ++i) {
      config.faults.push_back(read_fault(json_object_array_get_idx(faults, i),
                                         where + ".faults[" + std::to_string(i) + "]"));
    }
  }
  if (json_object* timing = member(object, "timing")) {
    config.timing = read_timing(timing, where + ".timing");
  }

  if (config.port.empty()) {
    fail(where + ".port", "must not be empty");
  }
  check_platform(config, where);
  read_followers(object, where, config);
  if (config.bootloader_size == 0 || config.bootloader_size % 4 != 0) {
    fail(where + ".bootloader_size", "must be a positive multiple of 4");
  }
  const auto digest = from_hex(config.bootloader_sha256);
  if (!config.bootloader_sha256.empty() && (!digest || digest->size() != 32)) {
    fail(where + ".bootloader_sha256", "must be 64 hexadecimal digits");
  }
  // A string descriptor holds at most 126 characters, sent as UTF-16 of ASCII here.
  if (config.serial.size() > kSerialLimit ||
      !std::ranges::all_of(config.serial, [](char c) { return c >= ' ' && c <= '~'; })) {
    fail(where + ".serial", "must be at most 126 printable ASCII characters");
  }
  return config;
}

}  // namespace

std::vector<ModuleConfig> parse_config(std::string_view text) {
  JsonPtr root;
  {
    const CHandle<json_tokener, json_tokener_free> tokener(json_tokener_new());
    root.reset(json_tokener_parse_ex(tokener.get(), text.data(), static_cast<int>(text.size())));
    const json_tokener_error error = json_tokener_get_error(tokener.get());
    if (error == json_tokener_continue) {
      fail("config", "not JSON: unexpected end of text");
    }
    if (error != json_tokener_success || root == nullptr) {
      fail("config", std::string("not JSON: ") + json_tokener_error_desc(error));
    }
    if (json_tokener_get_parse_end(tokener.get()) != text.size() &&
        text.find_first_not_of(" \t\r\n", json_tokener_get_parse_end(tokener.get())) !=
            std::string_view::npos) {
      fail("config", "not JSON: text after the end of the document");
    }
  }
  require_type(root.get(), json_type_object, "config", "an object with the key \"modules\"");
  check_keys(root.get(), "config", kRootKeys);
  json_object* modules = member(root.get(), "modules");
  if (modules == nullptr) {
    fail("config", "missing key \"modules\"");
  }
  require_type(modules, json_type_array, "modules", "an array");

  std::vector<ModuleConfig> configs;
  std::set<std::string> ports;
  for (size_t i = 0; i < json_object_array_length(modules); ++i) {
    const std::string where = "modules[" + std::to_string(i) + "]";
    ModuleConfig config = read_module(json_object_array_get_idx(modules, i), where);
    if (!ports.insert(config.port).second) {
      fail(where + ".port", "port " + in_quotes(config.port) + " is used by an earlier module");
    }
    configs.push_back(std::move(config));
  }
  return configs;
}

std::vector<ModuleConfig> load_config(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    throw ConfigError("cannot read simulator config '" + path.string() +
                      "': " + std::strerror(errno));
  }
  std::ostringstream text;
  text << file.rdbuf();
  if (file.bad()) {
    throw ConfigError("cannot read simulator config '" + path.string() + "'");
  }
  try {
    return parse_config(text.str());
  } catch (const ConfigError& error) {
    throw ConfigError("simulator config '" + path.string() + "': " + error.what());
  }
}

}  // namespace sim
