#include "tests/flash/flash_test_support.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <numeric>

#include "usb/device_manager.h"

namespace flash_test {
namespace {

const std::vector<std::string_view> kBasePartitions{"bootstrap", "bootloader", "misc"};
const std::vector<std::string_view> kOtaPartitions{"osloader", "meta", "kernel", "rootfs"};

constexpr std::string_view kBootstrapOffsets =
    ",\"bld_size_offset\":3196,\"bld_load_addr_offset\":3188,\"coremhz_offset\":2188,"
    "\"idspmhz_offset\":2192,\"drammhz_offset\":2200,\"cortexmhz_offset\":2184";

}  // namespace

std::vector<uint8_t> patterned_bytes(size_t size, uint8_t seed) {
  std::vector<uint8_t> bytes(size);
  uint32_t state = 0x9E3779B9u * (seed + 1u);
  for (auto& byte : bytes) {
    state = state * 1664525u + 1013904223u;
    byte = static_cast<uint8_t>(state >> 24);
  }
  return bytes;
}

Firmware::Firmware(std::string platform_name) : platform(std::move(platform_name)) {
  images["bootstrap"] = {"bst.bin", patterned_bytes(4096, 1), 0};
  images["bootloader"] = {"bld.bin", patterned_bytes(8192, 2), 0x00080000};
  images["misc"] = {"msc.bin", patterned_bytes(48, 3), 0};
  images["osloader"] = {"bda.bin", patterned_bytes(3000, 4), 0x01000000};
  images["meta"] = {"mta.bin", patterned_bytes(300, 5), 0};
  images["kernel"] = {"kna.bin", patterned_bytes(5000, 6), 0x02080000};
  images["rootfs"] = {"rfa.bin", patterned_bytes(10000, 7), 0};
}

std::vector<kavro_pack::Entry> Firmware::entries(const std::vector<std::string_view>& partitions,
                                                 bool sign) const {
  std::vector<kavro_pack::Entry> entries(1);
  std::string members;
  for (const std::string_view partition : partitions) {
    const Image& image = images.at(std::string(partition));
    members += (members.empty() ? "\"" : ",\"") + std::string(partition) + "\":{\"filename\":\"" +
               image.filename + "\",\"filesize\":" + std::to_string(image.bytes.size()) +
               ",\"load_address\":" + std::to_string(image.load_address) +
               std::string(partition == "bootstrap" ? kBootstrapOffsets : "") +
               (partition == "bootloader" ? ",\"public_key_offset\":4000}" : "}");
    entries.push_back({image.filename, image.bytes});
    if (sign && (partition == "bootstrap" || partition == "bootloader")) {
      entries.push_back(
          {image.filename + ".sign", kavro_pack::sign_bytes(image.bytes, kPublisherKey)});
    }
  }
  const std::string manifest = "{\"manifest\":{\"platform\":\"" + platform +
                               "\",\"firmware_version\":\"1.7.0\",\"partitions\":{" + members +
                               "}}}";
  entries[0] = {"manifest", std::vector<uint8_t>(manifest.begin(), manifest.end())};
  return entries;
}

std::string Firmware::write(const std::filesystem::path& output,
                            const std::vector<std::string_view>& partitions, bool sign) const {
  kavro_pack::write_archive(entries(partitions, sign), output, kavro_pack::Format::seven_zip);
  return output.string();
}

std::string Firmware::write_base(const std::filesystem::path& output) const {
  return write(output, kBasePartitions, true);
}

std::string Firmware::write_ota(const std::filesystem::path& output) const {
  return write(output, kOtaPartitions);
}

std::string Firmware::write_sparse_ota(const std::filesystem::path& output, size_t stored) const {
  std::string tar;
  const auto member = [&tar](const std::string& name, const std::string& data, size_t real_size) {
    std::string header(512, '\0');
    name.copy(header.data(), 99);
    std::snprintf(&header[100], 8, "%07o", 0644);
    std::snprintf(&header[124], 12, "%011o", static_cast<unsigned>(data.size()));
    header.replace(257, 7, "ustar  ");
    header[156] = real_size == 0 ? '0' : 'S';
    if (real_size != 0) {  // one piece: offset 0, all the data; then the real size
      std::snprintf(&header[386], 24, "%011o%c%011o", 0, 0, static_cast<unsigned>(data.size()));
      std::snprintf(&header[483], 12, "%011o", static_cast<unsigned>(real_size));
    }
    header.replace(148, 8, 8, ' ');
    std::snprintf(&header[148], 7, "%06o",
                  std::accumulate(header.begin(), header.end(), 0u, [](unsigned sum, char c) {
                    return sum + static_cast<uint8_t>(c);
                  }));
    tar += header + data + std::string((512 - data.size() % 512) % 512, '\0');
  };
  for (const kavro_pack::Entry& entry : entries(kOtaPartitions, false)) {
    const auto& bytes = std::get<std::vector<uint8_t>>(entry.content);
    std::string data(bytes.begin(), bytes.end());
    const bool sparse = entry.name == "rfa.bin";
    member(entry.name, sparse ? (data + std::string(stored, 'x')).substr(0, stored) : data,
           sparse ? bytes.size() : 0);
  }
  tar.append(1024, '\0');
  std::ofstream(output, std::ios::binary) << tar;
  return output.string();
}

std::string settings_json(std::string_view platform, uint32_t core_mhz) {
  return "{\"settings\":{\"platform\":\"" + std::string(platform) +
         "\",\"clocks\":{\"core_mhz\":" + std::to_string(core_mhz) + "}}}";
}

const SecureBootKeys& secure_boot_keys() {
  static const test_support::TempDirectory folder;
  static const SecureBootKeys keys{test_support::make_rsa_key(2048), folder.file("key.pem"),
                                   folder.write_file("key.pub", std::string(512, 'k'))};
  [[maybe_unused]] static const bool written =
      (test_support::write_private_key_pem(keys.private_key_file, keys.key.get()), true);
  return keys;
}

void FlashSessionTest::TearDown() {
  for (flash_session*& session : sessions_) {
    kavro_flash_destroy(&session);
  }
  kavro_dm_destroy(&dm_);
}

sim::ModuleConfig FlashSessionTest::module_config(std::string port, std::string platform) {
  sim::ModuleConfig config;
  config.port = std::move(port);
  config.platform = std::move(platform);
  config.bootloader_size = 64;
  config.reenumerate_ms = 5;
  return config;
}

void FlashSessionTest::start_bus(std::vector<sim::ModuleConfig> modules) {
  sim_ = std::make_shared<sim::VirtualBus>(std::move(modules));
  ASSERT_EQ(kavro_dm_init(&dm_, sim_), 0);
}

int FlashSessionTest::slot_of(const std::string& port) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < deadline) {
    const uint64_t seen = kavro_dm_change_count(&dm_);
    for (int slot = 0; slot < DM_MAX_DEVICES; ++slot) {
      char path[64] = {};
      if (kavro_dm_device_path_get(&dm_, slot, path, sizeof path) == 0 && port == path &&
          kavro_dm_device_get_mode(&dm_, slot) == DM_MODE_HARDWARE) {
        return slot;
      }
    }
    kavro_dm_wait_for_change(&dm_, seen, 100);
  }
  ADD_FAILURE() << "no module in hardware mode on port " << port;
  return -1;
}

flash_session* FlashSessionTest::start_session(const SessionOptions& options,
                                               const std::string& port) {
  const auto text = [](const std::string& value) {
    return value.empty() ? nullptr : value.c_str();
  };
  flash_session* session = nullptr;
  const int created = create_session(&session, text(options.ads_file), text(options.settings_file),
                                     options.base_file.c_str(), text(options.ota_file), &dm_,
                                     slot_of(port), options.reboot, options.move_calib,
                                     text(options.public_key_file), text(options.private_key_file));
  if (created != 0) {
    ADD_FAILURE() << "create_session returned " << created;
    return nullptr;
  }
  session->flash_bootloader = test_bootloader_;
  if (options.before_launch) {
    options.before_launch(*session);
  }
  EXPECT_EQ(launch_session(&session), 0);
  sessions_.push_back(session);
  return session;
}

SessionStatus FlashSessionTest::finish_session(flash_session* session) {
  join_session_thread(*session);
  uint32_t status[4] = {};
  EXPECT_EQ(kavro_flash_get_status(&session, &status[0], &status[1], &status[2], &status[3]), 0);
  return {status[0], static_cast<int>(status[1]), static_cast<int>(status[2]), status[3]};
}

SessionOptions FlashSessionTest::options_for(const Firmware& firmware) {
  const std::string name = std::to_string(archives_++) + ".7z";
  return {.base_file = firmware.write_base(folder_.path() / ("base" + name)),
          .ota_file = firmware.write_ota(folder_.path() / ("ota" + name))};
}

}  // namespace flash_test
