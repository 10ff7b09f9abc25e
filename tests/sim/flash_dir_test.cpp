// What a module with a flash_dir leaves on disk: one file per image holding exactly the bytes
// received, and module.json describing everything it was told.
#include <gtest/gtest.h>
#include <json-c/json.h>

#include <fstream>
#include <iterator>

#include "sim/virtual_bus.h"
#include "tests/sim/sim_test_support.h"
#include "tests/support/temp_directory.h"

namespace {

using namespace simtest;

std::vector<uint8_t> file_bytes(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

class ModuleJson {
 public:
  explicit ModuleJson(const std::filesystem::path& path)
      : root_(json_object_from_file(path.c_str()), json_object_put) {}
  ~ModuleJson() = default;

  bool valid() const { return root_ != nullptr; }
  json_object* at(std::initializer_list<const char*> keys) const {
    json_object* object = root_.get();
    for (const char* key : keys) {
      if (!json_object_object_get_ex(object, key, &object)) {
        return nullptr;
      }
    }
    return object;
  }
  int64_t number(std::initializer_list<const char*> keys) const {
    return json_object_get_int64(at(keys));
  }
  std::string text(std::initializer_list<const char*> keys) const {
    json_object* value = at(keys);
    return value ? json_object_get_string(value) : "<absent>";
  }
  bool is_null(std::initializer_list<const char*> keys) const {
    json_object* object = root_.get();
    for (const char* key : keys) {
      if (!json_object_object_get_ex(object, key, &object)) {
        return false;  // absent is not null
      }
    }
    return object == nullptr;
  }

 private:
  std::unique_ptr<json_object, decltype(&json_object_put)> root_;
};

class FlashDirTest : public testing::Test {
 protected:
  sim::ModuleConfig config() {
    sim::ModuleConfig module = quick_module("1-4.2");
    module.flash_dir = (dir_.path() / "m").string();
    return module;
  }
  std::filesystem::path path(const char* name) { return dir_.path() / "m" / name; }

  test_support::TempDirectory dir_;
};

TEST_F(FlashDirTest, ModuleJsonExistsFromTheStart) {
  sim::VirtualBus bus({config()});
  const ModuleJson json(path("module.json"));
  ASSERT_TRUE(json.valid());
  EXPECT_EQ(json.text({"port"}), "1-4.2");
  EXPECT_EQ(json.text({"platform"}), "cv22");
  EXPECT_EQ(json_object_array_length(json.at({"commands"})), 0u);
  EXPECT_TRUE(json.is_null({"partition_details"}));
  EXPECT_TRUE(json.is_null({"device_id"}));
  EXPECT_EQ(json.number({"bootloader", "bytes"}), 0);
  EXPECT_FALSE(std::filesystem::exists(path("module.json.tmp")));
}

TEST_F(FlashDirTest, WholeFlashIsMirrored) {
  sim::VirtualBus bus({config()});
  auto device = boot_to_software(bus, "1-4.2");
  ASSERT_NE(device, nullptr);
  ASSERT_EQ(status_of(*device,
                      partition_details(1, 1 << 20, 4 << 20, {{"app", 4096}, {"app_b", 4096}}, 1)),
            0);
  const std::vector<uint8_t> bootstrap = pattern(4096, 1);
  const std::vector<uint8_t> bootloader = pattern(5000, 2);
  const std::vector<uint8_t> rootfs = pattern(3 << 20, 3);
  ASSERT_EQ(send_image(*device, "bst", bootstrap, 4096), 0);
  ASSERT_EQ(status_of(*device, signature_block("bst", 0x5A)), 0);
  ASSERT_EQ(send_image(*device, "bld", bootloader, 2048, 0x1000), 0);
  for (const char* name : {"bda", "msc", "mta", "kna"}) {
    ASSERT_EQ(send_image(*device, name, pattern(100, name[0]), 100), 0) << name;
  }
  ASSERT_EQ(status_of(*device, erase_partition("rfa")), 0);
  ASSERT_EQ(send_image(*device, "rfa", rootfs, sim::kReceiveBufferSize), 0);
  ASSERT_EQ(status_of(*device, device_id(5)), 0);
  ASSERT_EQ(status_of(*device, ptb_write()), 0);

  EXPECT_EQ(file_bytes(path("bst.bin")), bootstrap);
  EXPECT_EQ(file_bytes(path("bld.bin")), bootloader);
  EXPECT_EQ(file_bytes(path("rfa.bin")), rootfs);
  EXPECT_EQ(file_bytes(path("msc.bin")), pattern(100, 'm'));

  const ModuleJson json(path("module.json"));
  ASSERT_TRUE(json.valid());
  EXPECT_EQ(json.text({"port"}), "1-4.2");
  json_object* commands = json.at({"commands"});
  std::vector<int64_t> ids;
  for (size_t i = 0; i < json_object_array_length(commands); ++i) {
    ids.push_back(json_object_get_int64(json_object_array_get_idx(commands, i)));
  }
  EXPECT_EQ(ids, (std::vector<int64_t>{1, 2, 8, 2, 3, 3, 2, 2, 2, 2, 4, 2, 3, 7, 5}));
  EXPECT_EQ(json.number({"partition_details", "ota_enabled"}), 1);
  EXPECT_EQ(json.number({"partition_details", "kernel_maxsize"}), 1 << 20);
  EXPECT_EQ(json.number({"partition_details", "rootfs_maxsize"}), 4 << 20);
  EXPECT_EQ(json.number({"partition_details", "move_calib"}), 1);
  json_object* custom = json.at({"partition_details", "custom"});
  ASSERT_EQ(json_object_array_length(custom), 2u);
  json_object* second = json_object_array_get_idx(custom, 1);
  json_object* name = nullptr;
  json_object* maxsize = nullptr;
  ASSERT_TRUE(json_object_object_get_ex(second, "name", &name));
  ASSERT_TRUE(json_object_object_get_ex(second, "maxsize", &maxsize));
  EXPECT_STREQ(json_object_get_string(name), "app_b");
  EXPECT_EQ(json_object_get_int64(maxsize), 4096);

  EXPECT_EQ(json.number({"images", "bst", "size"}), 4096);
  EXPECT_EQ(json.number({"images", "bst", "blocks"}), 1);
  std::string signature_hex;
  for (int i = 0; i < 256; ++i) {
    signature_hex += "5a";
  }
  EXPECT_EQ(json.text({"images", "bst", "signature"}), signature_hex);
  EXPECT_EQ(json.number({"images", "bld", "blocks"}), 3);
  EXPECT_EQ(json.number({"images", "bld", "load_address"}), 0x1000);
  EXPECT_TRUE(json.is_null({"images", "bld", "signature"}));
  EXPECT_EQ(json.number({"images", "rfa", "size"}), 3 << 20);
  EXPECT_EQ(json.number({"images", "rfa", "blocks"}), 2);
  json_object* erased = json.at({"erased"});
  ASSERT_EQ(json_object_array_length(erased), 1u);
  EXPECT_STREQ(json_object_get_string(json_object_array_get_idx(erased, 0)), "rfa");
  EXPECT_EQ(json.number({"device_id"}), 5);
  EXPECT_TRUE(json_object_get_boolean(json.at({"ptb_written"})));
  EXPECT_FALSE(json_object_get_boolean(json.at({"rebooted"})));
  EXPECT_EQ(json.number({"bootloader", "bytes"}), 64);
  EXPECT_EQ(json.text({"bootloader", "sha256"}), bus.module("1-4.2").flash().bootloader.sha256);
  EXPECT_EQ(json.text({"bootloader", "sha256"}).size(), 64u);
}

TEST_F(FlashDirTest, FileHoldsOnlyWhatWasAcceptedAndEraseRemovesIt) {
  sim::VirtualBus bus({config()});
  auto device = with_layout(bus, "1-4.2");
  ASSERT_NE(device, nullptr);
  const std::vector<uint8_t> data = pattern(200, 7);
  ASSERT_EQ(status_of(*device, image_header("kna", 400, 200, false, crc_of(data))), 0);
  ASSERT_EQ(status_of(*device, data), 0);
  ASSERT_EQ(status_of(*device, block_header(200, true, crc_of(data) ^ 1)), 0);
  ASSERT_EQ(status_of(*device, data), 5);
  EXPECT_EQ(file_bytes(path("kna.bin")), data);
  EXPECT_EQ(ModuleJson(path("module.json")).number({"images", "kna", "received"}), 200);

  ASSERT_EQ(status_of(*device, erase_partition("kna")), 0);
  EXPECT_FALSE(std::filesystem::exists(path("kna.bin")));
  EXPECT_TRUE(ModuleJson(path("module.json")).at({"images", "kna"}) == nullptr);
}

TEST_F(FlashDirTest, DownloadThatNeverStartedIsRecordedToo) {
  {
    sim::VirtualBus bus({config()});
    auto device = open_port(bus, "1-4.2");
    const std::vector<uint8_t> image = bootloader_image(64);
    download(*device, std::span(image).first(40));
    ASSERT_EQ(jump(*device, 0), 12);
    EXPECT_EQ(ModuleJson(path("module.json")).number({"bootloader", "bytes"}), 40);
    download(*device, std::span(image).first(48));
  }
  // The bus went away without another jump: the last state is on disk.
  EXPECT_EQ(ModuleJson(path("module.json")).number({"bootloader", "bytes"}), 48);
}

TEST_F(FlashDirTest, UnwritableFolderFailsTheFlashWrite) {
  const std::filesystem::path blocker = dir_.path() / "file";
  std::ofstream(blocker) << "not a folder";
  sim::ModuleConfig module = quick_module();
  module.flash_dir = (blocker / "m").string();
  sim::VirtualBus bus({module});
  auto device = boot_to_software(bus, "1-1");
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(status_of(*device, partition_details(0, 1 << 20, 1 << 20)), 7);
}

}  // namespace
