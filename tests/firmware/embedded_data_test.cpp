#include <gtest/gtest.h>
#include <json-c/json.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/products.h"
#include "data/embedded.h"
#include "data/gen/flash_bld_image.h"
#include "tools/kavro_pack.h"

namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in) << "cannot read " << path;
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<uint8_t> bytes_of(std::span<const uint8_t> span) {
  return {span.begin(), span.end()};
}

uint32_t load_le32(const std::vector<uint8_t>& image, std::size_t offset) {
  uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    value |= static_cast<uint32_t>(image.at(offset + i)) << (8 * i);
  }
  return value;
}

struct JsonFree {
  void operator()(json_object* object) const { json_object_put(object); }
};
using JsonPtr = std::unique_ptr<json_object, JsonFree>;

JsonPtr parse_json(const std::string& text) {
  return JsonPtr(json_tokener_parse(text.c_str()));
}

json_object* member(json_object* object, const char* key) {
  json_object* value = nullptr;
  return json_object_object_get_ex(object, key, &value) ? value : nullptr;
}

int64_t integer(json_object* object, const char* key) {
  json_object* value = member(object, key);
  EXPECT_NE(value, nullptr) << key;
  return value == nullptr ? -1 : json_object_get_int64(value);
}

std::string text(json_object* object, const char* key) {
  json_object* value = member(object, key);
  EXPECT_NE(value, nullptr) << key;
  return value == nullptr ? std::string() : json_object_get_string(value);
}

TEST(EmbeddedFlashBootloader, IsTheConfiguredImageInWholeWords) {
  const auto image = embedded::flash_bootloader();
  ASSERT_FALSE(image.empty());
  EXPECT_EQ(image.size() % 4, 0u);
  EXPECT_EQ(bytes_of(image), read_file(KAVRO_TEST_FLASH_BLD_FILE));
}

TEST(EmbeddedFlashBootloader, PlaceholderHasTheRealSizeAndARecognisableHeader) {
  if (!KAVRO_TEST_FLASH_BLD_PLACEHOLDER) {
    GTEST_SKIP() << "built with a real flash bootloader";
  }
  const auto image = bytes_of(embedded::flash_bootloader());
  ASSERT_EQ(image.size(), 154304u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(image.data())), "KAVRO-FLASH-BLD");
  EXPECT_EQ(load_le32(image, 16), datagen::FLASH_BLD_HEADER_VERSION);
  EXPECT_EQ(load_le32(image, 20), 154304u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(image.data() + 24)), "1.7.0");
}

TEST(EmbeddedScripts, SlotsOneToSixHoldTheScriptFilesAndTheRestAreEmpty) {
  for (int number = 1; number <= 6; ++number) {
    SCOPED_TRACE(number);
    const fs::path file = fs::path(KAVRO_TEST_ADS_DIR) / ("ads" + std::to_string(number) + ".txt");
    EXPECT_EQ(bytes_of(embedded::ads_script(number)), read_file(file));
  }
  for (const int number : {-1, 0, 7, 8, 9, 10}) {
    EXPECT_TRUE(embedded::ads_script(number).empty()) << number;
  }
}

TEST(EmbeddedBaseArchives, SlotsOneToFiveHoldTheArchivesAndTheRestAreEmpty) {
  for (int number = 1; number <= 5; ++number) {
    SCOPED_TRACE(number);
    const fs::path file = fs::path(KAVRO_TEST_BASE_DIR) / ("base" + std::to_string(number) + ".7z");
    const auto bytes = bytes_of(embedded::base_archive(number));
    EXPECT_FALSE(bytes.empty());
    EXPECT_EQ(bytes, read_file(file));
  }
  for (const int number : {-1, 0, 6, 7, 8, 9, 10}) {
    EXPECT_TRUE(embedded::base_archive(number).empty()) << number;
  }
}

TEST(EmbeddedPublicKey, IsNulTerminatedPemOfTheConfiguredKey) {
  const std::string_view pem = embedded::publisher_public_key();
  EXPECT_EQ(pem.data(), public_key_start);
  EXPECT_EQ(public_key_start[pem.size()], '\0');
  const auto file = read_file(KAVRO_TEST_PUBLIC_KEY_FILE);
  EXPECT_EQ(std::string(pem), std::string(file.begin(), file.end()));
  EXPECT_TRUE(pem.starts_with("-----BEGIN PUBLIC KEY-----\n"));
  EXPECT_TRUE(pem.ends_with("-----END PUBLIC KEY-----\n"));
}

TEST(EmbeddedPublicKey, GeneratedKeyIsRsa4096InEightHundredCharacters) {
  if (!KAVRO_TEST_PUBLIC_KEY_GENERATED) {
    GTEST_SKIP() << "built with the real publisher key";
  }
  const std::string pem(embedded::publisher_public_key());
  ASSERT_EQ(pem.size(), 800u);
  std::vector<std::size_t> line_lengths;
  for (std::size_t start = 0; start < pem.size();) {
    const std::size_t end = pem.find('\n', start);
    ASSERT_NE(end, std::string::npos);
    line_lengths.push_back(end - start);
    start = end + 1;
  }
  const std::vector<std::size_t> expected = {26, 64, 64, 64, 64, 64, 64,
                                             64, 64, 64, 64, 64, 32, 24};
  EXPECT_EQ(line_lengths, expected);

  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(pem.data(), -1), BIO_free);
  ASSERT_NE(bio, nullptr);
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
      PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr), EVP_PKEY_free);
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(EVP_PKEY_get_base_id(key.get()), EVP_PKEY_RSA);
  EXPECT_EQ(EVP_PKEY_get_bits(key.get()), 4096);
}

class GeneratedBaseArchive : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    if (!KAVRO_TEST_BASE_GENERATED) {
      GTEST_SKIP() << "built with real base archives";
    }
  }
  fs::path images() const {
    return fs::path(KAVRO_TEST_IMAGES_DIR) / ("base" + std::to_string(GetParam()));
  }
  fs::path archive() const {
    return fs::path(KAVRO_TEST_BASE_DIR) / ("base" + std::to_string(GetParam()) + ".7z");
  }
};

TEST_P(GeneratedBaseArchive, HoldsTheBootChainSignedByThePublisherKey) {
  const kavro_pack::ArchiveContents contents = kavro_pack::read_contents(archive());
  std::vector<std::string> names;
  for (const auto& entry : contents.entries) {
    names.push_back(entry.name);
  }
  const std::vector<std::string> expected = {"bld.bin",      "bld.bin.sign", "bst.bin",
                                             "bst.bin.sign", "manifest",     "msc.bin"};
  EXPECT_EQ(names, expected);
  const auto checks = kavro_pack::verify(archive(), KAVRO_TEST_PUBLISHER_PUBLIC_KEY_FILE);
  ASSERT_EQ(checks.size(), 2u);
  for (const auto& check : checks) {
    EXPECT_EQ(check.problem, "") << check.name;
  }
  ASSERT_TRUE(contents.manifest.has_value());
  const auto manifest_file = read_file(images() / "manifest.json");
  EXPECT_EQ(*contents.manifest, std::string(manifest_file.begin(), manifest_file.end()));
}

TEST_P(GeneratedBaseArchive, ManifestOffsetsPointAtPlausibleWordsOfTheImages) {
  const auto manifest_file = read_file(images() / "manifest.json");
  const JsonPtr root = parse_json(std::string(manifest_file.begin(), manifest_file.end()));
  ASSERT_NE(root, nullptr);
  json_object* manifest = member(root.get(), "manifest");
  EXPECT_EQ(text(manifest, "platform"), product_table[static_cast<std::size_t>(GetParam())].name);
  EXPECT_EQ(text(manifest, "firmware_version"), "1.7.0");
  json_object* partitions = member(manifest, "partitions");
  json_object* bootstrap = member(partitions, "bootstrap");
  json_object* bootloader = member(partitions, "bootloader");
  ASSERT_NE(bootstrap, nullptr);
  ASSERT_NE(bootloader, nullptr);

  const auto bst = read_file(images() / "bst.bin");
  ASSERT_EQ(static_cast<int64_t>(bst.size()), integer(bootstrap, "filesize"));
  for (const char* key :
       {"coremhz_offset", "idspmhz_offset", "drammhz_offset", "cortexmhz_offset"}) {
    SCOPED_TRACE(key);
    const int64_t offset = integer(bootstrap, key);
    ASSERT_GT(offset, 0);
    ASSERT_LE(static_cast<std::size_t>(offset) + 4, bst.size());
    const uint32_t word = load_le32(bst, static_cast<std::size_t>(offset));
    EXPECT_GT(word >> 24, 0u) << "a running PLL has a multiplier";
    EXPECT_LT(word >> 24, 0x80u);
  }
  for (const char* key : {"bld_size_offset", "bld_load_addr_offset"}) {
    const int64_t offset = integer(bootstrap, key);
    ASSERT_GT(offset, 0);
    EXPECT_EQ(load_le32(bst, static_cast<std::size_t>(offset)), 0xFFFFFFFFu) << key;
  }

  const auto bld = read_file(images() / "bld.bin");
  ASSERT_EQ(static_cast<int64_t>(bld.size()), integer(bootloader, "filesize"));
  const int64_t block = integer(bootloader, "public_key_offset");
  ASSERT_GT(block, 0);
  ASSERT_LE(static_cast<std::size_t>(block) + 3084, bld.size());
  const auto at = static_cast<std::size_t>(block);
  EXPECT_EQ(load_le32(bld, at), 0x5055424Cu);
  EXPECT_EQ(load_le32(bld, at + 4), 0x4B455953u);
  EXPECT_TRUE(std::all_of(bld.begin() + static_cast<std::ptrdiff_t>(at + 8),
                          bld.begin() + static_cast<std::ptrdiff_t>(at + 3080),
                          [](uint8_t byte) { return byte == 0; }));
  EXPECT_EQ(load_le32(bld, at + 3080), 1u);
  EXPECT_GE(integer(bootloader, "load_address"), 0);
}

INSTANTIATE_TEST_SUITE_P(Slots, GeneratedBaseArchive, ::testing::Range(1, 6));

TEST(GeneratedCv22BaseArchive, MatchesTheShippedLayout) {
  if (!KAVRO_TEST_BASE_GENERATED) {
    GTEST_SKIP() << "built with real base archives";
  }
  const fs::path archive = fs::path(KAVRO_TEST_BASE_DIR) / "base2.7z";
  const kavro_pack::ArchiveContents contents = kavro_pack::read_contents(archive);
  std::vector<std::pair<std::string, int64_t>> sizes;
  for (const auto& entry : contents.entries) {
    if (entry.name != "manifest") {
      sizes.emplace_back(entry.name, entry.size);
    }
  }
  const std::vector<std::pair<std::string, int64_t>> expected = {{"bld.bin", 167232},
                                                                 {"bld.bin.sign", 512},
                                                                 {"bst.bin", 4096},
                                                                 {"bst.bin.sign", 512},
                                                                 {"msc.bin", 48}};
  EXPECT_EQ(sizes, expected);

  ASSERT_TRUE(contents.manifest.has_value());
  const JsonPtr root = parse_json(*contents.manifest);
  json_object* manifest = member(root.get(), "manifest");
  EXPECT_EQ(text(manifest, "platform"), "cv22");
  EXPECT_EQ(text(manifest, "firmware_version"), "1.7.0");

  // Every member of every partition as JSON text, nothing more; of the md5 digests that
  // nothing reads, only their length.
  using Members = std::map<std::string, std::map<std::string, std::string>>;
  Members members;
  json_object_object_foreach(member(manifest, "partitions"), partition, details) {
    json_object_object_foreach(details, key, value) {
      members[partition][key] = std::string_view(key) == "md5"
                                    ? "md5 of " + std::to_string(json_object_get_string_len(value))
                                    : json_object_to_json_string_ext(value, JSON_C_TO_STRING_PLAIN);
    }
  }
  const Members expected_members = {
      {"bootstrap",
       {{"filename", R"("bst.bin")"},
        {"filesize", "4096"},
        {"signed", "false"},
        {"required_fixed_size", "4096"},
        {"coremhz_offset", "2188"},
        {"idspmhz_offset", "2192"},
        {"drammhz_offset", "2200"},
        {"cortexmhz_offset", "2184"},
        {"bld_size_offset", "3196"},
        {"bld_load_addr_offset", "3188"},
        {"md5", "md5 of 32"}}},
      {"bootloader",
       {{"filename", R"("bld.bin")"},
        {"filesize", "167232"},
        {"signed", "false"},
        {"load_address", "0"},
        {"public_key_offset", "163424"},
        {"md5", "md5 of 32"}}},
      {"misc",
       {{"filename", R"("msc.bin")"},
        {"filesize", "48"},
        {"signed", "false"},
        {"md5", "md5 of 32"}}},
  };
  EXPECT_EQ(members, expected_members);
}

}  // namespace
