// What a simulated module received, kept in memory and mirrored to flash_dir and module.json.

#include "sim/flash_store.h"

#include <json-c/json.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <system_error>

#include "common/c_handle.h"
#include "sim/hex.h"

namespace sim {
namespace {

using JsonPtr = CHandle<json_object, json_object_put>;

json_object* partition_details_json(const PartitionDetails& details) {
  json_object* object = json_object_new_object();
  json_object_object_add(object, "ota_enabled", json_object_new_int64(details.ota_enabled));
  json_object_object_add(object, "kernel_maxsize", json_object_new_uint64(details.kernel_maxsize));
  json_object_object_add(object, "rootfs_maxsize", json_object_new_uint64(details.rootfs_maxsize));
  json_object* custom = json_object_new_array();
  for (const CustomPartition& partition : details.custom) {
    json_object* entry = json_object_new_object();
    json_object_object_add(entry, "name", json_object_new_string(partition.name.c_str()));
    json_object_object_add(entry, "maxsize", json_object_new_uint64(partition.maxsize));
    json_object_array_add(custom, entry);
  }
  json_object_object_add(object, "custom", custom);
  json_object_object_add(object, "move_calib", json_object_new_int64(details.move_calib));
  return object;
}

json_object* image_json(const StoredImage& image) {
  json_object* object = json_object_new_object();
  json_object_object_add(object, "size", json_object_new_uint64(image.size));
  json_object_object_add(object, "load_address", json_object_new_int64(image.load_address));
  json_object_object_add(object, "blocks", json_object_new_int64(image.blocks));
  json_object_object_add(object, "received", json_object_new_uint64(image.received));
  json_object_object_add(
      object, "signature",
      image.signature ? json_object_new_string(to_hex(*image.signature).c_str()) : nullptr);
  return object;
}

std::string hex_word(uint32_t word) {
  std::array<char, 11> text{};
  std::snprintf(text.data(), text.size(), "0x%08x", word);
  return text.data();
}

json_object* hardware_mode_json(const HardwareModeLog& log) {
  json_object* registers = json_object_new_array();
  for (const RegisterAccess& access : log.registers) {
    json_object* entry = json_object_new_object();
    json_object_object_add(entry, "op", json_object_new_string(access.write ? "write" : "read"));
    json_object_object_add(entry, "address",
                           json_object_new_string(hex_word(access.address).c_str()));
    json_object_object_add(entry, "value", json_object_new_string(hex_word(access.value).c_str()));
    json_object_object_add(entry, "count", json_object_new_int64(access.count));
    json_object_array_add(registers, entry);
  }
  json_object* object = json_object_new_object();
  json_object_object_add(object, "registers", registers);
  json_object_object_add(object, "download_writes", json_object_new_uint64(log.download_writes));
  json_object_object_add(
      object, "jump_address",
      log.jump_address ? json_object_new_string(hex_word(*log.jump_address).c_str()) : nullptr);
  return object;
}

json_object* string_array_json(const std::vector<std::string>& texts) {
  json_object* array = json_object_new_array();
  for (const std::string& text : texts) {
    json_object_array_add(array, json_object_new_string(text.c_str()));
  }
  return array;
}

}  // namespace

FlashStore::FlashStore(std::string port, std::string platform, std::filesystem::path flash_dir,
                       bool keep_image_bytes)
    : port_(std::move(port)),
      platform_(std::move(platform)),
      flash_dir_(std::move(flash_dir)),
      keep_image_bytes_(keep_image_bytes) {
  if (!flash_dir_.empty()) {
    std::error_code ignored;  // a folder that cannot be made shows up as failed writes
    std::filesystem::create_directories(flash_dir_, ignored);
  }
}

void FlashStore::record_command(uint32_t id) {
  contents_.commands.push_back(id);
}

void FlashStore::set_partition_details(PartitionDetails details) {
  contents_.partition_details = std::move(details);
}

bool FlashStore::begin_image(const std::string& name, uint64_t size, uint32_t load_address) {
  StoredImage& image = contents_.images[name];
  image = StoredImage{};
  image.size = size;
  image.load_address = load_address;
  if (flash_dir_.empty()) {
    return true;
  }
  std::ofstream file(image_path(name), std::ios::binary | std::ios::trunc);
  return file.good();
}

bool FlashStore::append_image(const std::string& name, std::span<const uint8_t> data) {
  StoredImage& image = contents_.images.at(name);
  image.blocks += 1;
  image.received += data.size();
  if (keep_image_bytes_) {
    image.bytes.insert(image.bytes.end(), data.begin(), data.end());
  }
  if (flash_dir_.empty()) {
    return true;
  }
  std::ofstream file(image_path(name), std::ios::binary | std::ios::app);
  file.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  return file.good();
}

void FlashStore::set_signature(const std::string& name,
                               std::span<const uint8_t, kImageSignatureSize> signature) {
  auto& stored = contents_.images.at(name).signature.emplace();
  std::copy(signature.begin(), signature.end(), stored.begin());
}

bool FlashStore::erase(const std::string& name) {
  contents_.images.erase(name);
  contents_.erased.push_back(name);
  if (flash_dir_.empty()) {
    return true;
  }
  std::error_code error;
  std::filesystem::remove(image_path(name), error);
  return !error;
}

void FlashStore::set_device_id(uint32_t id) {
  contents_.device_id = id;
}

void FlashStore::set_ptb_written() {
  contents_.ptb_written = true;
}

void FlashStore::set_rebooted() {
  contents_.rebooted = true;
}

void FlashStore::set_bootloader(DownloadedBootloader bootloader) {
  contents_.bootloader = std::move(bootloader);
}

void FlashStore::set_hardware_mode(HardwareModeLog log) {
  contents_.hardware_mode = std::move(log);
}

void FlashStore::add_busy_time(std::chrono::steady_clock::duration time) {
  contents_.modelled_busy += std::chrono::duration_cast<std::chrono::microseconds>(time);
}

bool FlashStore::save() const {
  if (flash_dir_.empty()) {
    return true;
  }
  JsonPtr root(json_object_new_object());
  json_object* object = root.get();
  json_object_object_add(object, "port", json_object_new_string(port_.c_str()));
  json_object_object_add(object, "platform", json_object_new_string(platform_.c_str()));
  json_object* commands = json_object_new_array();
  for (uint32_t id : contents_.commands) {
    json_object_array_add(commands, json_object_new_int64(id));
  }
  json_object_object_add(object, "commands", commands);
  json_object_object_add(
      object, "partition_details",
      contents_.partition_details ? partition_details_json(*contents_.partition_details) : nullptr);
  json_object* images = json_object_new_object();
  for (const auto& [name, image] : contents_.images) {
    json_object_object_add(images, name.c_str(), image_json(image));
  }
  json_object_object_add(object, "images", images);
  json_object_object_add(object, "erased", string_array_json(contents_.erased));
  json_object_object_add(
      object, "device_id",
      contents_.device_id ? json_object_new_int64(*contents_.device_id) : nullptr);
  json_object_object_add(object, "ptb_written", json_object_new_boolean(contents_.ptb_written));
  json_object_object_add(object, "rebooted", json_object_new_boolean(contents_.rebooted));
  json_object* bootloader = json_object_new_object();
  json_object_object_add(bootloader, "bytes", json_object_new_uint64(contents_.bootloader.bytes));
  json_object_object_add(bootloader, "sha256",
                         json_object_new_string(contents_.bootloader.sha256.c_str()));
  json_object_object_add(object, "bootloader", bootloader);
  json_object_object_add(object, "hardware_mode", hardware_mode_json(contents_.hardware_mode));
  json_object_object_add(object, "modelled_busy_ms",
                         json_object_new_int64(contents_.modelled_busy.count() / 1000));

  // Readers (tests, scripts) may look at module.json at any moment: write a new file and move
  // it over the old one so that they never see half of it.
  const std::filesystem::path final_path = flash_dir_ / "module.json";
  const std::filesystem::path temporary_path = flash_dir_ / "module.json.tmp";
  if (json_object_to_file_ext(temporary_path.c_str(), object, JSON_C_TO_STRING_PRETTY) != 0) {
    return false;
  }
  std::error_code error;
  std::filesystem::rename(temporary_path, final_path, error);
  return !error;
}

std::filesystem::path FlashStore::image_path(const std::string& name) const {
  return flash_dir_ / (name + ".bin");
}

}  // namespace sim
