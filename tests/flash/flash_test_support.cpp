#include "tests/flash/flash_test_support.h"

#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <stdexcept>

#include "firmware/archive.h"
#include "flash/session.h"
#include "tools/kavro_pack.h"
#include "usb/device_manager.h"

namespace flash_test {
namespace {

constexpr auto kWaitLimit = std::chrono::seconds(30);

void put_le32(std::vector<uint8_t>& bytes, size_t offset, uint32_t value) {
  for (size_t byte = 0; byte < 4; ++byte) {
    bytes[offset + byte] = static_cast<uint8_t>(value >> (8 * byte));
  }
}

std::string json_member(std::string_view key, std::string_view value_text) {
  return "\"" + std::string(key) + "\":" + std::string(value_text);
}

std::string json_text(std::string_view text) {
  return "\"" + std::string(text) + "\"";
}

std::string partition_member(std::string_view partition, const Image& image) {
  std::string members = json_member("filename", json_text(image.filename)) + "," +
                        json_member("filesize", std::to_string(image.bytes.size()));
  if (partition == "bootstrap") {
    members += "," + json_member("bld_size_offset", std::to_string(kBldSizeOffset)) + "," +
               json_member("bld_load_addr_offset", std::to_string(kBldLoadAddrOffset)) + "," +
               json_member("coremhz_offset", std::to_string(kCoreMhzOffset)) + "," +
               json_member("idspmhz_offset", std::to_string(kIdspMhzOffset)) + "," +
               json_member("drammhz_offset", std::to_string(kDramMhzOffset)) + "," +
               json_member("cortexmhz_offset", std::to_string(kCortexMhzOffset));
  }
  if (partition == "bootloader") {
    members += "," + json_member("public_key_offset", std::to_string(kPublicKeyOffset));
  }
  if (image.load_address != 0) {
    members += "," + json_member("load_address", std::to_string(image.load_address));
  }
  return json_member(partition, "{" + members + "}");
}

// The process-wide folder for key files, removed when the test program ends.
const test_support::TempDirectory& key_folder() {
  static const test_support::TempDirectory folder;
  return folder;
}

class RecordingDevice : public usb::Device {
 public:
  RecordingDevice(std::unique_ptr<usb::Device> device, std::string port,
                  std::shared_ptr<WireLog> log)
      : device_(std::move(device)), port_(std::move(port)), log_(std::move(log)) {}

  int control(const usb::SetupPacket& setup, std::span<uint8_t> data,
              unsigned timeout_ms) override {
    return device_->control(setup, data, timeout_ms);
  }
  std::vector<uint8_t> endpoints() override { return device_->endpoints(); }
  int bulk(uint8_t endpoint, std::span<uint8_t> data, unsigned timeout_ms, size_t& moved) override {
    const int result = device_->bulk(endpoint, data, timeout_ms, moved);
    if (endpoint == 0x01 && result == usb::kOk) {
      log_->add(port_, data.first(moved));
    }
    return result;
  }

 private:
  std::unique_ptr<usb::Device> device_;
  std::string port_;
  std::shared_ptr<WireLog> log_;
};

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

Firmware::Firmware(std::string platform) : platform_(std::move(platform)) {
  images_["bootstrap"] = {"bst.bin", patterned_bytes(4096, 1), 0};
  images_["bootloader"] = {"bld.bin", patterned_bytes(8192, 2), 0x00080000};
  images_["misc"] = {"msc.bin", patterned_bytes(48, 3), 0};
  images_["osloader"] = {"bda.bin", patterned_bytes(3000, 4), 0x01000000};
  images_["meta"] = {"mta.bin", patterned_bytes(300, 5), 0};
  images_["kernel"] = {"kna.bin", patterned_bytes(5000, 6), 0x02080000};
  images_["rootfs"] = {"rfa.bin", patterned_bytes(10000, 7), 0};
}

Image& Firmware::image(std::string_view partition) {
  const auto found = images_.find(partition);
  if (found == images_.end()) {
    throw std::out_of_range("no partition " + std::string(partition));
  }
  return found->second;
}

const Image& Firmware::image(std::string_view partition) const {
  return const_cast<Firmware*>(this)->image(partition);
}

void Firmware::resize(std::string_view partition, size_t size) {
  Image& resized = image(partition);
  resized.bytes = patterned_bytes(size, static_cast<uint8_t>(resized.bytes.size() + size));
}

std::string Firmware::manifest(const std::vector<std::string_view>& partitions) const {
  std::string members;
  for (const std::string_view partition : partitions) {
    members += (members.empty() ? "" : ",") + partition_member(partition, image(partition));
  }
  return "{\"manifest\":{" + json_member("platform", json_text(platform_)) + "," +
         json_member("firmware_version", json_text("1.7.0")) + "," +
         json_member("partitions", "{" + members + "}") + "}}";
}

std::vector<kavro_pack::Entry> Firmware::entries(
    const std::vector<std::string_view>& partitions,
    const std::optional<std::filesystem::path>& signing_key) const {
  const std::string manifest_text = manifest(partitions);
  std::vector<kavro_pack::Entry> entries;
  entries.push_back({"manifest", std::vector<uint8_t>(manifest_text.begin(), manifest_text.end())});
  for (const std::string_view partition : partitions) {
    const Image& part = image(partition);
    entries.push_back({part.filename, part.bytes});
    if (signing_key && (partition == "bootstrap" || partition == "bootloader")) {
      entries.push_back(
          {part.filename + ".sign", kavro_pack::sign_bytes(part.bytes, *signing_key)});
    }
  }
  return entries;
}

std::filesystem::path Firmware::write(
    const std::filesystem::path& output, const std::vector<std::string_view>& partitions,
    const std::optional<std::filesystem::path>& signing_key) const {
  kavro_pack::write_archive(entries(partitions, signing_key), output, format_);
  return output;
}

std::filesystem::path Firmware::write_base(const std::filesystem::path& output) const {
  return write(output, {kBasePartitions.begin(), kBasePartitions.end()}, publisher_private_key());
}

std::filesystem::path Firmware::write_ota(const std::filesystem::path& output) const {
  return write(output, {kOtaPartitions.begin(), kOtaPartitions.end()});
}

std::filesystem::path publisher_private_key() {
  return KAVRO_TEST_PUBLISHER_KEY;
}

std::vector<uint8_t> expected_bootstrap(const Firmware& firmware, const Clocks& mhz,
                                        const Clocks& steps) {
  std::vector<uint8_t> bytes = firmware.image("bootstrap").bytes;
  const Image& bootloader = firmware.image("bootloader");
  put_le32(bytes, kBldLoadAddrOffset, static_cast<uint32_t>(bootloader.load_address));
  put_le32(bytes, kBldSizeOffset, static_cast<uint32_t>(bootloader.bytes.size()));
  const auto set_clock = [&bytes](uint32_t offset, uint32_t requested, uint32_t step) {
    if (requested > 0) {
      bytes[offset + 3] = static_cast<uint8_t>(requested / step - 1);
    }
  };
  set_clock(kCoreMhzOffset, mhz.core, steps.core);
  set_clock(kIdspMhzOffset, mhz.idsp, steps.idsp);
  set_clock(kDramMhzOffset, mhz.dram, steps.dram);
  set_clock(kCortexMhzOffset, mhz.cortex, steps.cortex);
  return bytes;
}

std::vector<uint8_t> key_block(std::span<const uint8_t> public_key) {
  std::vector<uint8_t> block(kKeyBlockSize, 0);
  put_le32(block, 0, 0x5055424C);
  put_le32(block, 4, 0x4B455953);
  for (size_t slot = 0; slot < 4; ++slot) {
    std::copy(public_key.begin(), public_key.end(), block.begin() + 8 + 512 * slot);
  }
  return block;
}

std::vector<uint8_t> expected_bootloader(const Firmware& firmware,
                                         std::span<const uint8_t> public_key) {
  std::vector<uint8_t> bytes = firmware.image("bootloader").bytes;
  const std::vector<uint8_t> block = key_block(public_key);
  std::copy(block.begin(), block.end(), bytes.begin() + kPublicKeyOffset);
  return bytes;
}

std::string settings_json(std::string_view platform, const Clocks& clocks) {
  return "{\"settings\":{" + json_member("platform", json_text(platform)) + "," +
         json_member("clocks", "{" + json_member("core_mhz", std::to_string(clocks.core)) + "," +
                                   json_member("idsp_mhz", std::to_string(clocks.idsp)) + "," +
                                   json_member("dram_mhz", std::to_string(clocks.dram)) + "," +
                                   json_member("cortex_mhz", std::to_string(clocks.cortex)) + "}") +
         "}}";
}

const SecureBootKeys& secure_boot_keys() {
  static const SecureBootKeys keys = [] {
    SecureBootKeys made;
    made.key = test_support::make_rsa_key(2048);
    made.private_key_file = key_folder().file("secure-boot.pem");
    test_support::write_private_key_pem(made.private_key_file, made.key.get());
    made.public_key_bytes = patterned_bytes(SECURE_BOOT_KEY_SIZE, 0x5A);
    made.public_key_file = key_folder().write_file(
        "secure-boot.pub",
        {reinterpret_cast<const char*>(made.public_key_bytes.data()), SECURE_BOOT_KEY_SIZE});
    return made;
  }();
  return keys;
}

bool signature_verifies(EVP_PKEY* key, std::span<const uint8_t> data,
                        std::span<const uint8_t> signature) {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                  EVP_MD_CTX_free);
  return context && EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key) == 1 &&
         EVP_DigestVerify(context.get(), signature.data(), signature.size(), data.data(),
                          data.size()) == 1;
}

void WireLog::add(const std::string& port, std::span<const uint8_t> block) {
  std::lock_guard lock(mutex_);
  blocks_[port].emplace_back(block.begin(), block.end());
  if (observer_) {
    observer_(block);
  }
}

void WireLog::observe(std::function<void(std::span<const uint8_t> block)> observer) {
  std::lock_guard lock(mutex_);
  observer_ = std::move(observer);
}

std::vector<std::vector<uint8_t>> WireLog::blocks(const std::string& port) const {
  std::lock_guard lock(mutex_);
  const auto found = blocks_.find(port);
  return found == blocks_.end() ? std::vector<std::vector<uint8_t>>{} : found->second;
}

RecordingBus::RecordingBus(std::shared_ptr<sim::VirtualBus> bus) : bus_(std::move(bus)) {}

std::vector<usb::DeviceInfo> RecordingBus::list(uint16_t vid) {
  return bus_->list(vid);
}

std::unique_ptr<usb::Device> RecordingBus::open(const usb::DeviceInfo& info) {
  std::unique_ptr<usb::Device> device = bus_->open(info);
  if (!device) {
    return nullptr;
  }
  return std::make_unique<RecordingDevice>(std::move(device), info.device_path, log_);
}

void RecordingBus::watch(std::function<void()> changed) {
  bus_->watch(std::move(changed));
}

uint32_t le32(std::span<const uint8_t> bytes, size_t offset) {
  return uint32_t{bytes[offset]} | (uint32_t{bytes[offset + 1]} << 8) |
         (uint32_t{bytes[offset + 2]} << 16) | (uint32_t{bytes[offset + 3]} << 24);
}

std::vector<SentCommand> sent_commands(const std::vector<std::vector<uint8_t>>& blocks) {
  std::vector<SentCommand> commands;
  bool data_expected = false;
  for (const auto& block : blocks) {
    if (data_expected) {
      data_expected = false;
      continue;
    }
    const uint32_t id = le32(block, 4);
    data_expected = id == SW_CMD_IMAGE_HEADER || id == SW_CMD_BLOCK_HEADER;
    commands.push_back({id, block});
  }
  return commands;
}

std::vector<uint32_t> ids_of(const std::vector<SentCommand>& commands) {
  std::vector<uint32_t> ids;
  for (const SentCommand& command : commands) {
    ids.push_back(command.id);
  }
  return ids;
}

std::vector<uint8_t> read_file(const std::filesystem::path& path) {
  std::ifstream stream(path, std::ios::binary);
  std::vector<uint8_t> bytes(std::filesystem::exists(path) ? std::filesystem::file_size(path) : 0);
  stream.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return bytes;
}

namespace {
constexpr uint32_t kWriteOpcode = 0x30000000;
constexpr uint32_t kJumpOpcode = 0x00010000;

bool is_boot_rom_request(const sim::ControlRecord& record, uint32_t opcode) {
  return record.result >= 0 && record.setup.bmRequestType == 0x40 && record.length == 12 &&
         le32(record.data, 0) == opcode;
}
}  // namespace

std::vector<BootRomWrite> boot_rom_writes(const sim::Module& module) {
  std::vector<BootRomWrite> writes;
  for (const sim::ControlRecord& record : module.control_log()) {
    if (is_boot_rom_request(record, kWriteOpcode)) {
      writes.push_back({le32(record.data, 4), le32(record.data, 8)});
    }
  }
  return writes;
}

size_t boot_rom_jumps(const sim::Module& module) {
  size_t jumps = 0;
  for (const sim::ControlRecord& record : module.control_log()) {
    jumps += is_boot_rom_request(record, kJumpOpcode) ? 1 : 0;
  }
  return jumps;
}

SessionStatus status_of(flash_session** session) {
  uint32_t state = 0;
  uint32_t error = 0;
  uint32_t sub_error = 0;
  uint32_t progress = 0;
  EXPECT_EQ(kavro_flash_get_status(session, &state, &error, &sub_error, &progress), 0);
  return {state, static_cast<int>(error), static_cast<int>(sub_error), progress};
}

void FlashSessionTest::SetUp() {
  kavro_archive_set_open_delay_for_tests(std::chrono::milliseconds(0));
}

void FlashSessionTest::TearDown() {
  for (flash_session*& session : sessions_) {
    kavro_flash_destroy(&session);
  }
  kavro_dm_destroy(&dm_);
  bus_.reset();
  sim_.reset();
}

sim::ModuleConfig FlashSessionTest::module_config(std::string port, std::string platform) {
  sim::ModuleConfig config;
  config.port = std::move(port);
  config.platform = std::move(platform);
  config.bootloader_size = kTestBootloaderSize;
  config.reenumerate_ms = 5;
  return config;
}

void FlashSessionTest::start_bus(std::vector<sim::ModuleConfig> modules) {
  sim_ = std::make_shared<sim::VirtualBus>(std::move(modules));
  bus_ = std::make_shared<RecordingBus>(sim_);
  ASSERT_EQ(kavro_dm_init(&dm_, bus_), 0);
}

int FlashSessionTest::slot_of(const std::string& port) {
  const auto deadline = std::chrono::steady_clock::now() + kWaitLimit;
  for (;;) {
    const uint64_t seen = kavro_dm_change_count(&dm_);
    for (int slot = 0; slot < DM_MAX_DEVICES; ++slot) {
      char path[64] = {};
      if (kavro_dm_device_path_get(&dm_, slot, path, sizeof path) == 0 && port == path &&
          kavro_dm_device_get_mode(&dm_, slot) == DM_MODE_HARDWARE) {
        return slot;
      }
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      ADD_FAILURE() << "no module in hardware mode on port " << port;
      return -1;
    }
    kavro_dm_wait_for_change(&dm_, seen, static_cast<uint32_t>(left.count()));
  }
}

flash_session* FlashSessionTest::start_session(const SessionOptions& options, int slot) {
  const auto text = [](const std::string& value) -> const char* {
    return value.empty() ? nullptr : value.c_str();
  };
  flash_session* session = nullptr;
  const int created = create_session(&session, text(options.ads_file), text(options.settings_file),
                                     options.base_file.c_str(), text(options.ota_file), &dm_, slot,
                                     options.reboot, options.move_calib,
                                     text(options.public_key_file), text(options.private_key_file));
  if (created != 0) {
    ADD_FAILURE() << "create_session returned " << created;
    return nullptr;
  }
  if (!options.real_flash_bootloader) {
    session->flash_bootloader = test_bootloader_;
  }
  session->mode_switch_poll_limit = options.mode_switch_poll_limit;
  if (options.before_launch) {
    options.before_launch(*session);
  }
  if (options.on_state_entered) {
    session->on_state_entered = [session, hook = options.on_state_entered](uint32_t state) {
      hook(*session, state);
    };
  }
  if (launch_session(&session) != 0) {
    ADD_FAILURE() << "launch_session failed";
    return nullptr;
  }
  sessions_.push_back(session);
  return session;
}

void FlashSessionTest::destroy_session(flash_session*& session) {
  for (flash_session*& owned : sessions_) {
    if (owned == session) {
      kavro_flash_destroy(&owned);
    }
  }
  session = nullptr;
}

SessionStatus FlashSessionTest::finish_session(flash_session* session) {
  if (session == nullptr) {
    return {};
  }
  join_session_thread(*session);
  return status_of(&session);
}

SessionStatus FlashSessionTest::run_session(const SessionOptions& options,
                                            const std::string& port) {
  return finish_session(start_session(options, slot_of(port)));
}

std::vector<uint32_t> FlashSessionTest::command_ids(const std::string& port) {
  return module(port).flash().commands;
}

std::pair<std::string, std::string> FlashSessionTest::write_archives(const Firmware& firmware) {
  return {firmware.write_base(folder_.path() / "base.7z").string(),
          firmware.write_ota(folder_.path() / "ota.7z").string()};
}

}  // namespace flash_test
