#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "firmware/archive.h"
#include "firmware/image_patching.h"
#include "tests/firmware/image_patching_fixture.h"

namespace param_update_test {
namespace {

constexpr std::size_t CORE = 2188;
constexpr std::size_t IDSP = 2192;
constexpr std::size_t DRAM = 2200;
constexpr std::size_t CORTEX = 2184;
constexpr std::size_t BLD_SIZE = 3196;
constexpr std::size_t BLD_LOAD = 3188;

class BootstrapPatch : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    kavro_archive_set_open_delay_for_tests(std::chrono::milliseconds(0));
  }

  ArchivePtr open(const BaseArchiveSpec& spec = {}) { return open_base_archive(folder_, spec); }

  // Patches the whole bootstrap image in one buffer.
  int patch(kavro_archive_t* archive, kavro_settings* settings, uint32_t revision = 0) {
    return patch_in_pieces(archive, settings, revision, PART_BOOTSTRAP, nullptr, image_, {});
  }

  uint8_t clock_byte(std::size_t offset) const { return image_.at(offset + 3); }

  test_support::TempDirectory folder_;
  std::vector<uint8_t> image_ = patterned_image(BOOTSTRAP_SIZE, 1);
  const std::vector<uint8_t> shipped_ = patterned_image(BOOTSTRAP_SIZE, 1);
};

TEST_F(BootstrapPatch, WritesClockMultipliersIntoTheTopByteOfEachWord) {
  auto archive = open();
  auto settings = make_settings(792, 600, 1000, 1008);
  ASSERT_EQ(patch(archive.get(), settings.get()), 0);
  EXPECT_EQ(clock_byte(CORE), 0x20);  // 792 / 24 - 1
  EXPECT_EQ(clock_byte(IDSP), 49);    // 600 / 12 - 1
  EXPECT_EQ(clock_byte(DRAM), 40);    // 1000 / 24 - 1, i.e. 984 MHz: rounds down
  EXPECT_EQ(clock_byte(CORTEX), 41);  // 1008 / 24 - 1
  for (const std::size_t word : {CORE, IDSP, DRAM, CORTEX}) {
    for (std::size_t byte = word; byte < word + 3; ++byte) {
      EXPECT_EQ(image_[byte], shipped_[byte]) << "byte " << byte << " of a clock word";
    }
  }
}

TEST_F(BootstrapPatch, WritesBootloaderSizeAndLoadAddressLittleEndian) {
  BaseArchiveSpec spec;
  spec.bootloader_size = 8192;
  spec.load_address = 0x1'8765'4321;  // only the low 32 bits fit the word
  auto archive = open(spec);
  ASSERT_EQ(patch(archive.get(), nullptr), 0);
  EXPECT_EQ(load_le32(image_, BLD_SIZE), 8192u);
  EXPECT_EQ(load_le32(image_, BLD_LOAD), 0x87654321u);
  EXPECT_EQ(image_[BLD_LOAD], 0x21);
}

// With every clock 0, or without settings at all.
TEST_F(BootstrapPatch, UnsetClocksKeepTheShippedBytesButSizeAndAddressAreWritten) {
  auto archive = open();
  std::vector<uint8_t> expected = shipped_;
  expected[BLD_SIZE] = 0x00;
  expected[BLD_SIZE + 1] = 0x20;
  expected[BLD_SIZE + 2] = 0x00;
  expected[BLD_SIZE + 3] = 0x00;
  expected[BLD_LOAD] = 0x04;
  expected[BLD_LOAD + 1] = 0x03;
  expected[BLD_LOAD + 2] = 0x02;
  expected[BLD_LOAD + 3] = 0x01;
  ASSERT_EQ(patch(archive.get(), make_settings(0, 0, 0, 0).get()), 0);
  EXPECT_EQ(image_, expected);
  image_ = shipped_;
  ASSERT_EQ(patch(archive.get(), nullptr), 0);
  EXPECT_EQ(image_, expected);
}

TEST_F(BootstrapPatch, ClockValuesOutsideSigned32BitCountAsUnset) {
  auto archive = open();
  auto settings = make_settings(0x80000000u, 0xFFFFFFFFu, 0, 0);
  ASSERT_EQ(patch(archive.get(), settings.get()), 0);
  EXPECT_EQ(clock_byte(CORE), shipped_[CORE + 3]);
  EXPECT_EQ(clock_byte(IDSP), shipped_[IDSP + 3]);
}

TEST_F(BootstrapPatch, ClockAboveTheMaximumFailsAfterEarlierLocationsWereWritten) {
  auto archive = open();
  auto settings = make_settings(793, 600, 0, 0);
  EXPECT_EQ(patch(archive.get(), settings.get()), PARAM_UPDATE_CLOCK_OUT_OF_RANGE);
  EXPECT_EQ(load_le32(image_, BLD_SIZE), 8192u);
  EXPECT_EQ(load_le32(image_, BLD_LOAD), 0x01020304u);
  EXPECT_EQ(clock_byte(CORE), shipped_[CORE + 3]);
  EXPECT_EQ(clock_byte(IDSP), shipped_[IDSP + 3]) << "nothing after the failure is written";
}

TEST_F(BootstrapPatch, EveryClockHasItsOwnMaximum) {
  auto archive = open();
  EXPECT_EQ(patch(archive.get(), make_settings(0, 793, 0, 0).get()),
            PARAM_UPDATE_CLOCK_OUT_OF_RANGE);
  EXPECT_EQ(patch(archive.get(), make_settings(0, 0, 1801, 0).get()),
            PARAM_UPDATE_CLOCK_OUT_OF_RANGE);
  EXPECT_EQ(patch(archive.get(), make_settings(0, 0, 0, 1009).get()),
            PARAM_UPDATE_CLOCK_OUT_OF_RANGE);
  EXPECT_EQ(patch(archive.get(), make_settings(792, 792, 1800, 1008).get()), 0);
}

// A request below one step would give the multiplier -1, stored as 255: the fastest setting.
TEST_F(BootstrapPatch, ClockBelowOneStepIsRefusedInsteadOfWrappingToTheTopMultiplier) {
  auto archive = open();
  EXPECT_EQ(patch(archive.get(), make_settings(23, 0, 0, 0).get()),
            PARAM_UPDATE_CLOCK_OUT_OF_RANGE);
  EXPECT_EQ(clock_byte(CORE), shipped_[CORE + 3]);
  ASSERT_EQ(patch(archive.get(), make_settings(24, 12, 0, 0).get()), 0);
  EXPECT_EQ(clock_byte(CORE), 0);
  EXPECT_EQ(clock_byte(IDSP), 0);
}

TEST_F(BootstrapPatch, RevisionSelectsThePllRow) {
  BaseArchiveSpec s5l;
  s5l.platform = "s5l";
  auto archive = open(s5l);
  // Revision 1 allows core 672 MHz (step 12): multiplier 55.
  ASSERT_EQ(patch(archive.get(), make_settings(672, 0, 0, 0).get(), 1), 0);
  EXPECT_EQ(clock_byte(CORE), 55);
  EXPECT_EQ(patch(archive.get(), make_settings(673, 0, 0, 0).get(), 1),
            PARAM_UPDATE_CLOCK_OUT_OF_RANGE);
  // Revision 0 stops at 564 MHz.
  EXPECT_EQ(patch(archive.get(), make_settings(672, 0, 0, 0).get(), 0),
            PARAM_UPDATE_CLOCK_OUT_OF_RANGE);
  ASSERT_EQ(patch(archive.get(), make_settings(564, 0, 0, 0).get(), 0), 0);
  EXPECT_EQ(clock_byte(CORE), 46);
  EXPECT_EQ(patch(archive.get(), nullptr, 2), PARAM_UPDATE_NO_PLL_CONFIG);
  // cv22 has a row for revision 0 only; a refused call writes nothing.
  image_ = shipped_;
  auto cv22 = open();
  EXPECT_EQ(patch(cv22.get(), nullptr, 1), PARAM_UPDATE_NO_PLL_CONFIG);
  EXPECT_EQ(image_, shipped_);
}

TEST_F(BootstrapPatch, PlatformTextIsMatchedByRowNamePrefix) {
  BaseArchiveSpec spec;
  spec.platform = "cv22-lite";
  auto archive = open(spec);
  ASSERT_EQ(patch(archive.get(), make_settings(792, 0, 0, 0).get()), 0);
  EXPECT_EQ(clock_byte(CORE), 0x20);

  BaseArchiveSpec unknown;
  unknown.platform = "cv2";
  auto unknown_archive = open(unknown);
  EXPECT_EQ(patch(unknown_archive.get(), nullptr), PARAM_UPDATE_NO_PLL_CONFIG);
}

TEST_F(BootstrapPatch, SoftwareRowRefusesEveryClockButPatchesSizeAndAddress) {
  BaseArchiveSpec spec;
  spec.platform = "software";
  auto archive = open(spec);
  EXPECT_EQ(patch(archive.get(), make_settings(0, 0, 0, 1).get()), PARAM_UPDATE_CLOCK_OUT_OF_RANGE);
  image_ = shipped_;
  ASSERT_EQ(patch(archive.get(), nullptr), 0);
  EXPECT_EQ(load_le32(image_, BLD_SIZE), 8192u);
}

TEST_F(BootstrapPatch, ManifestChecksRunInOrderOnEveryBuffer) {
  struct Case {
    const char* what;
    void (*spoil)(BaseArchiveSpec&);
    int expected;
  };
  const Case cases[] = {
      {"load address offset 0", [](BaseArchiveSpec& s) { s.bld_load_addr_offset = 0; },
       PARAM_UPDATE_BLD_LOAD_ADDR_OFFSET},
      {"size offset and load address offset 0",
       [](BaseArchiveSpec& s) {
         s.bld_size_offset = 0;
         s.bld_load_addr_offset = 0;
       },
       PARAM_UPDATE_BLD_LOAD_ADDR_OFFSET},
      {"size offset -4", [](BaseArchiveSpec& s) { s.bld_size_offset = -4; },
       PARAM_UPDATE_BLD_SIZE_OFFSET},
      {"size offset and core offset 0",
       [](BaseArchiveSpec& s) {
         s.bld_size_offset = 0;
         s.coremhz_offset = 0;
       },
       PARAM_UPDATE_BLD_SIZE_OFFSET},
      {"core offset 0", [](BaseArchiveSpec& s) { s.coremhz_offset = 0; },
       PARAM_UPDATE_COREMHZ_OFFSET},
      {"idsp offset 0", [](BaseArchiveSpec& s) { s.idspmhz_offset = 0; },
       PARAM_UPDATE_IDSPMHZ_OFFSET},
      {"dram offset 0", [](BaseArchiveSpec& s) { s.drammhz_offset = 0; },
       PARAM_UPDATE_DRAMMHZ_OFFSET},
      {"cortex offset 0", [](BaseArchiveSpec& s) { s.cortexmhz_offset = 0; },
       PARAM_UPDATE_CORTEXMHZ_OFFSET},
      {"cortex offset 0 and no bootloader",
       [](BaseArchiveSpec& s) {
         s.cortexmhz_offset = 0;
         s.with_bootloader = false;
       },
       PARAM_UPDATE_CORTEXMHZ_OFFSET},
      {"no bootloader", [](BaseArchiveSpec& s) { s.with_bootloader = false; },
       PARAM_UPDATE_BLD_SIZE},
      {"empty bootloader", [](BaseArchiveSpec& s) { s.bootloader_size = 0; },
       PARAM_UPDATE_BLD_SIZE},
      {"negative load address", [](BaseArchiveSpec& s) { s.load_address = -1; },
       PARAM_UPDATE_BLD_LOAD_ADDRESS},
      {"no bootstrap", [](BaseArchiveSpec& s) { s.with_bootstrap = false; },
       PARAM_UPDATE_BLD_LOAD_ADDR_OFFSET},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    BaseArchiveSpec spec;
    c.spoil(spec);
    auto archive = open(spec);
    // A buffer far from every location is refused all the same, and left as it was.
    std::vector<uint8_t> tail = patterned_image(64, 9);
    const std::vector<uint8_t> tail_before = tail;
    EXPECT_EQ(kavro_param_update_firmware_block(archive.get(), nullptr, 0, PART_BOOTSTRAP, nullptr,
                                                4000, tail.data(), 64),
              c.expected);
    EXPECT_EQ(tail, tail_before);
  }
}

TEST_F(BootstrapPatch, MissingPllRowIsReportedBeforeManifestProblems) {
  BaseArchiveSpec spec;
  spec.platform = "cv28";
  spec.bld_load_addr_offset = 0;
  auto archive = open(spec);
  EXPECT_EQ(patch(archive.get(), nullptr, 1), PARAM_UPDATE_NO_PLL_CONFIG);
  EXPECT_EQ(patch(archive.get(), nullptr, 0), PARAM_UPDATE_BLD_LOAD_ADDR_OFFSET);
}

TEST_F(BootstrapPatch, NoArchiveFindsNoPllRow) {
  EXPECT_EQ(patch(nullptr, nullptr), PARAM_UPDATE_NO_PLL_CONFIG);
  EXPECT_EQ(image_, shipped_);
}

TEST_F(BootstrapPatch, WordStraddlingTwoBuffersFails) {
  auto archive = open();
  // The bootloader size word starts 2 bytes before the end of the first buffer.
  EXPECT_EQ(
      patch_in_pieces(archive.get(), nullptr, 0, PART_BOOTSTRAP, nullptr, image_, {BLD_SIZE + 2}),
      PARAM_UPDATE_WORD_SPLIT);
  // The load address word lies in the same buffer and came first: it was written.
  EXPECT_EQ(load_le32(image_, BLD_LOAD), 0x01020304u);
}

TEST_F(BootstrapPatch, StraddlingClockWordFailsOnlyWhenThatClockIsRequested) {
  auto archive = open();
  EXPECT_EQ(patch_in_pieces(archive.get(), nullptr, 0, PART_BOOTSTRAP, nullptr, image_, {DRAM + 1}),
            0);
  EXPECT_EQ(patch_in_pieces(archive.get(), make_settings(0, 0, 1584, 0).get(), 0, PART_BOOTSTRAP,
                            nullptr, image_, {DRAM + 1}),
            PARAM_UPDATE_WORD_SPLIT);
}

// Cuts right before and right after words, and a cut after every word: each word is whole in
// one buffer, so the pieces give the image one buffer gives.
TEST_F(BootstrapPatch, PiecesKeepingEveryWordWholeGiveTheSameImage) {
  auto archive = open();
  auto settings = make_settings(792, 600, 1000, 1008);
  std::vector<uint8_t> whole = image_;
  ASSERT_EQ(patch_in_pieces(archive.get(), settings.get(), 0, PART_BOOTSTRAP, nullptr, whole, {}),
            0);
  EXPECT_NE(whole, shipped_);
  std::vector<std::size_t> every_word;
  for (std::size_t cut = 4; cut < BOOTSTRAP_SIZE; cut += 4) {
    every_word.push_back(cut);
  }
  for (const auto& cuts : {std::vector<std::size_t>{CORTEX, CORE + 4, IDSP + 4, DRAM, DRAM + 4,
                                                    BLD_LOAD + 4, BLD_SIZE + 4},
                           every_word}) {
    image_ = shipped_;
    ASSERT_EQ(
        patch_in_pieces(archive.get(), settings.get(), 0, PART_BOOTSTRAP, nullptr, image_, cuts),
        0);
    EXPECT_EQ(image_, whole);
  }
}

TEST_F(BootstrapPatch, EmbeddedCv22BaseArchiveSuppliesTheLayout) {
  kavro_archive_t* raw = nullptr;
  ASSERT_EQ(kavro_archive_init_embedded(&raw, "cv22", 0), 0);
  ArchivePtr archive(raw);
  ASSERT_EQ(patch(archive.get(), make_settings(792, 0, 0, 0).get()), 0);
  EXPECT_EQ(load_le32(image_, BLD_SIZE), 167232u);
  EXPECT_EQ(load_le32(image_, BLD_LOAD), 0u);
  EXPECT_EQ(clock_byte(CORE), 0x20);
}

}  // namespace
}  // namespace param_update_test
