#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/pem.h>

#include <functional>
#include <string>
#include <vector>

#include "firmware/archive.h"
#include "firmware/bringup_script.h"
#include "tests/flash/flash_test_support.h"
#include "usb/device_manager.h"

// Every error pair a session records, each with the step where the session stopped.
namespace flash_test {
namespace {

size_t vendor_requests(const sim::Module& module) {
  size_t count = 0;
  for (const sim::ControlRecord& record : module.control_log()) {
    count += (record.setup.bmRequestType & 0x60) == 0x40 ? 1 : 0;
  }
  return count;
}

// A pax tar archive (the archive reader takes every format libarchive knows) whose rootfs is
// sparse: its header gives the full size but only the first half is stored, so its data ends
// before the size the manifest promises.
void write_ota_with_sparse_rootfs(const Firmware& firmware, const std::filesystem::path& path) {
  std::unique_ptr<archive, decltype(&archive_write_free)> writer(archive_write_new(),
                                                                 archive_write_free);
  ASSERT_EQ(archive_write_set_format_pax_restricted(writer.get()), ARCHIVE_OK);
  ASSERT_EQ(archive_write_open_filename(writer.get(), path.c_str()), ARCHIVE_OK);
  for (const kavro_pack::Entry& entry :
       firmware.entries({kOtaPartitions.begin(), kOtaPartitions.end()})) {
    const auto& bytes = std::get<std::vector<uint8_t>>(entry.content);
    std::unique_ptr<archive_entry, decltype(&archive_entry_free)> header(archive_entry_new(),
                                                                         archive_entry_free);
    archive_entry_set_pathname(header.get(), entry.name.c_str());
    archive_entry_set_filetype(header.get(), AE_IFREG);
    archive_entry_set_perm(header.get(), 0644);
    archive_entry_set_size(header.get(), static_cast<la_int64_t>(bytes.size()));
    if (entry.name == "rfa.bin") {
      archive_entry_sparse_add_entry(header.get(), 0, static_cast<la_int64_t>(bytes.size() / 2));
    }
    ASSERT_EQ(archive_write_header(writer.get(), header.get()), ARCHIVE_OK);
    ASSERT_EQ(archive_write_data(writer.get(), bytes.data(), bytes.size()),
              static_cast<la_ssize_t>(bytes.size()));
  }
  ASSERT_EQ(archive_write_close(writer.get()), ARCHIVE_OK);
}

// The public half of a key pair: it reads as an RSA key but cannot sign.
test_support::KeyPtr public_half(EVP_PKEY* key) {
  std::unique_ptr<BIO, decltype(&BIO_free)> memory(BIO_new(BIO_s_mem()), BIO_free);
  EXPECT_EQ(PEM_write_bio_PUBKEY(memory.get(), key), 1);
  return test_support::KeyPtr(PEM_read_bio_PUBKEY(memory.get(), nullptr, nullptr, nullptr));
}

class SessionErrorTest : public FlashSessionTest {
 protected:
  SessionOptions standard_options() {
    const auto [base, ota] = write_archives(firmware_);
    SessionOptions options;
    options.base_file = base;
    options.ota_file = ota;
    return options;
  }

  std::string write_archive(std::string_view name, const Firmware& firmware,
                            const std::vector<std::string_view>& partitions, bool sign = false) {
    return firmware
        .write(folder_.path() / name, partitions,
               sign ? std::optional(publisher_private_key()) : std::nullopt)
        .string();
  }

  // Nothing reached the module: no boot-ROM request (cv22 has no revision probe), no block.
  void expect_module_untouched() {
    EXPECT_EQ(vendor_requests(module()), 0u);
    EXPECT_TRUE(blocks().empty());
  }

  Firmware firmware_;
};

TEST_F(SessionErrorTest, BaseArchiveWithBadBootstrapSignature) {
  // The bootstrap's companion holds the publisher's signature of another file.
  std::vector<kavro_pack::Entry> entries =
      firmware_.entries({kBasePartitions.begin(), kBasePartitions.end()}, publisher_private_key());
  for (kavro_pack::Entry& entry : entries) {
    if (entry.name == "bst.bin.sign") {
      entry.content =
          kavro_pack::sign_bytes(firmware_.image("misc").bytes, publisher_private_key());
    }
  }
  SessionOptions options = standard_options();
  options.base_file = (folder_.path() / "bad-base.7z").string();
  kavro_pack::write_archive(entries, options.base_file, kavro_pack::Format::seven_zip);

  start_bus();

  testing::internal::CaptureStdout();
  const SessionStatus status = run_session(options);
  const std::string output = testing::internal::GetCapturedStdout();

  EXPECT_EQ(status.state, FLASH_STATE_FAILED);
  EXPECT_EQ(status.error, -3);
  EXPECT_EQ(status.sub_error, -29);
  expect_module_untouched();
  EXPECT_NE(output.find("Signature verification failed for bst.bin"), std::string::npos);
  EXPECT_EQ(output.find("bld.bin"), std::string::npos);
}

// Inputs a session refuses before it sends anything to the module, one session after another
// on the same module.
TEST_F(SessionErrorTest, InputsRefusedBeforeTheModuleIsTouched) {
  struct Refusal {
    const char* what;
    std::function<void(SessionOptions& options)> adjust;
    int error;
    int sub_error;
  };
  const std::vector<Refusal> refusals{
      {"OTA file that cannot be opened",
       [this](SessionOptions& options) { options.ota_file = folder_.file("missing.7z"); }, -3,
       ARCHIVE_ERR_OPEN},
      {"settings without their root member",
       [this](SessionOptions& options) {
         options.settings_file = write_file("other.json", R"({"other":{}})");
       },
       -5, -7},
      {"settings file missing",
       [this](SessionOptions& options) { options.settings_file = folder_.file("missing.json"); },
       -5, -3},
      {"bring-up script file missing",
       [this](SessionOptions& options) { options.ads_file = folder_.file("missing.txt"); }, -6, -3},
      {"base archive without misc",
       [this](SessionOptions& options) {
         options.base_file =
             write_archive("no-misc.7z", firmware_, {"bootstrap", "bootloader"}, true);
       },
       -12, 0},
      {"OTA archive without rootfs",
       [this](SessionOptions& options) {
         options.ota_file =
             write_archive("no-rootfs.7z", firmware_, {"osloader", "meta", "kernel"});
       },
       -13, 0},
      {"no OTA archive and a base archive without kernel",
       [this](SessionOptions& options) {
         options.ota_file.clear();
         options.base_file =
             write_archive("no-kernel.7z", firmware_,
                           {"bootstrap", "bootloader", "misc", "osloader", "meta", "rootfs"}, true);
       },
       -14, 0},
      {"OTA archive for another platform",
       [this](SessionOptions& options) {
         options.ota_file = Firmware("cv25").write_ota(folder_.path() / "cv25.7z").string();
       },
       -17, 0},
      {"base archive for another platform",
       [this](SessionOptions& options) {
         options.base_file = Firmware("s5l").write_base(folder_.path() / "s5l.7z").string();
       },
       -17, 0},
      {"settings for another platform",
       [this](SessionOptions& options) {
         options.settings_file = write_file("cv25.json", settings_json("cv25", {}));
       },
       -17, 0},
  };
  const SessionOptions standard = standard_options();
  start_bus();
  const int slot = slot_of("1-1");

  for (const Refusal& refusal : refusals) {
    SCOPED_TRACE(refusal.what);
    SessionOptions options = standard;
    refusal.adjust(options);
    flash_session* session = start_session(options, slot);
    const SessionStatus status = finish_session(session);
    destroy_session(session);
    EXPECT_EQ(status.state, FLASH_STATE_FAILED);
    EXPECT_EQ(status.error, refusal.error);
    EXPECT_EQ(status.sub_error, refusal.sub_error);
    expect_module_untouched();
  }
}

TEST_F(SessionErrorTest, ImageDataEndingBeforeItsSize) {
  SessionOptions options = standard_options();
  options.ota_file = folder_.file("sparse.tar");
  write_ota_with_sparse_rootfs(firmware_, options.ota_file);
  start_bus();

  const SessionStatus status = run_session(options);

  EXPECT_EQ(status.state, FLASH_STATE_FAILED);
  EXPECT_EQ(status.error, -3);
  EXPECT_EQ(status.sub_error, 0);
  const sim::FlashContents flash = module().flash();
  EXPECT_EQ(flash.images.count("rfa"), 0u);
  EXPECT_FALSE(flash.ptb_written);
}

TEST_F(SessionErrorTest, BlockTransportFailure) {
  sim::ModuleConfig config = module_config();
  sim::Fault fault;
  fault.kind = sim::Fault::Kind::BadSignature;
  fault.command_id = SW_CMD_PARTITION_DETAILS;
  config.faults.push_back(fault);
  start_bus({config});

  const SessionStatus status = run_session(standard_options());

  EXPECT_EQ(status.state, FLASH_STATE_FAILED);
  EXPECT_EQ(status.error, -4);
  EXPECT_EQ(status.sub_error, -13);
  EXPECT_EQ(blocks().size(), 1u);
}

TEST_F(SessionErrorTest, PollThatNeverSucceeds) {
  sim::ModuleConfig config = module_config();
  sim::Fault fault;
  fault.kind = sim::Fault::Kind::PollNeverReady;
  config.faults.push_back(fault);
  start_bus({config});

  testing::internal::CaptureStdout();
  const SessionStatus status = run_session(standard_options());
  const std::string output = testing::internal::GetCapturedStdout();

  EXPECT_EQ(status.state, FLASH_STATE_FAILED);
  EXPECT_EQ(status.error, -4);
  EXPECT_EQ(status.sub_error, -6);
  EXPECT_NE(output.find("Sending ADS commands\nFailed to send ADS\n"), std::string::npos);
  EXPECT_EQ(module().flash().bootloader.bytes, 0u);
}

TEST_F(SessionErrorTest, ImageOfSizeZero) {
  firmware_.resize("meta", 0);
  start_bus();

  const SessionStatus status = run_session(standard_options());

  EXPECT_EQ(status.state, FLASH_STATE_FAILED);
  EXPECT_EQ(status.error, -11);
  EXPECT_EQ(status.sub_error, 0);
  EXPECT_EQ(module().flash().images.count("mta"), 0u);
}

TEST_F(SessionErrorTest, ModuleThatNeverComesBackInSoftwareMode) {
  sim::ModuleConfig config = module_config();
  sim::Fault fault;
  fault.kind = sim::Fault::Kind::NoReturn;
  config.faults.push_back(fault);
  start_bus({config});
  SessionOptions options = standard_options();
  options.mode_switch_poll_limit = 20;

  const SessionStatus status = run_session(options);

  EXPECT_EQ(status.state, FLASH_STATE_FAILED);
  EXPECT_EQ(status.error, -15);
  EXPECT_EQ(status.sub_error, 0);
  EXPECT_EQ(status.progress, 100u);
}

TEST_F(SessionErrorTest, PlatformTextThatExtendsTheModulesIsAccepted) {
  Firmware extended("cv22-lite");
  SessionOptions options = standard_options();
  options.ota_file = extended.write_ota(folder_.path() / "lite.7z").string();
  start_bus();
  EXPECT_EQ(run_session(options).state, FLASH_STATE_DONE);
}

TEST_F(SessionErrorTest, ClockAboveThePlatformLimit) {
  SessionOptions options = standard_options();
  options.settings_file = write_file("settings.json", settings_json("cv22", {793, 0, 0, 0}));
  start_bus();

  const SessionStatus status = run_session(options);

  EXPECT_EQ(status.state, FLASH_STATE_FAILED);
  EXPECT_EQ(status.error, -18);
  EXPECT_EQ(status.sub_error, -12);
  EXPECT_EQ(module().flash().images.count("bst"), 0u);
}

TEST_F(SessionErrorTest, KeyThatCannotSign) {
  const SecureBootKeys& keys = secure_boot_keys();
  SessionOptions options = standard_options();
  options.public_key_file = keys.public_key_file;
  options.private_key_file = keys.private_key_file;
  options.before_launch = [&keys](flash_session& session) {
    session.private_key.reset(public_half(keys.key.get()).release());
  };
  start_bus();

  testing::internal::CaptureStdout();
  const SessionStatus status = run_session(options);
  const std::string output = testing::internal::GetCapturedStdout();

  EXPECT_EQ(status.state, FLASH_STATE_FAILED);
  EXPECT_EQ(status.error, -21);
  EXPECT_EQ(status.sub_error, 0);
  EXPECT_NE(output.find("Error generating signature\n", output.find("Sending bootstrap\n")),
            std::string::npos);
  EXPECT_EQ(output.find("Sending bootloader\n"), std::string::npos);
  EXPECT_EQ(command_ids(), (std::vector<uint32_t>{SW_CMD_PARTITION_DETAILS, SW_CMD_IMAGE_HEADER}));
}

TEST_F(SessionErrorTest, RefusedRebootIsATransportError) {
  sim::ModuleConfig config = module_config();
  sim::Fault fault;
  fault.command_id = SW_CMD_REBOOT;
  fault.status = 1;
  config.faults.push_back(fault);
  start_bus({config});
  SessionOptions options = standard_options();
  options.reboot = 1;

  const SessionStatus status = run_session(options);

  EXPECT_EQ(status.state, FLASH_STATE_FAILED);
  EXPECT_EQ(status.error, -4);
  EXPECT_EQ(status.sub_error, -15);
  EXPECT_TRUE(module().flash().ptb_written);
}

// Ten modules, each refusing a different block with a different status, flashed at the same
// time: each session stops at its refusal and reports the module's status.
TEST_F(SessionErrorTest, EveryDeviceStatusEndsTheSession) {
  struct Refusal {
    uint32_t status;
    uint32_t command_id;
    uint32_t occurrence;
  };
  const std::vector<Refusal> refusals{
      {1, SW_CMD_PARTITION_DETAILS, 1}, {2, SW_CMD_IMAGE_HEADER, 1},
      {3, SW_CMD_PTB_WRITE, 1},         {4, SW_CMD_PARTITION_DETAILS, 1},
      {5, sim::kDataBlock, 1},          {6, SW_CMD_PARTITION_DETAILS, 1},
      {7, SW_CMD_DEVICE_ID, 1},         {8, SW_CMD_IMAGE_HEADER, 7},
      {9, sim::kDataBlock, 7},          {10, SW_CMD_ERASE_PARTITION, 1},
  };
  std::vector<sim::ModuleConfig> configs;
  for (const Refusal& refusal : refusals) {
    sim::ModuleConfig config = module_config("2-" + std::to_string(refusal.status));
    sim::Fault fault;
    fault.command_id = refusal.command_id;
    fault.occurrence = refusal.occurrence;
    fault.status = refusal.status;
    config.faults.push_back(fault);
    configs.push_back(config);
  }
  start_bus(configs);
  const SessionOptions options = standard_options();
  std::vector<flash_session*> sessions;
  for (const sim::ModuleConfig& config : configs) {
    sessions.push_back(start_session(options, slot_of(config.port)));
  }

  for (size_t i = 0; i < refusals.size(); ++i) {
    const SessionStatus status = finish_session(sessions[i]);
    const uint32_t refused = refusals[i].status;
    EXPECT_EQ(status.state, FLASH_STATE_FAILED) << refused;
    EXPECT_EQ(status.error, -22) << refused;
    EXPECT_EQ(status.sub_error, static_cast<int>(refused));
    const std::vector<sim::BlockRecord> log = module(configs[i].port).block_log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().status, refused) << "the session went on after the refusal";
  }
}

// The steps below are not reachable through a whole session with the archive and script
// modules of this program (they refuse such inputs earlier), so they are driven directly.
class SessionStepTest : public ::testing::Test {
 protected:
  void SetUp() override { kavro_archive_set_open_delay_for_tests(std::chrono::milliseconds(0)); }
  void TearDown() override {
    kavro_archive_destroy(&session_.base_archive);
    kavro_archive_destroy(&session_.ota_archive);
  }

  void open(kavro_archive_t** archive, const Firmware& firmware,
            const std::vector<std::string_view>& partitions) {
    const std::filesystem::path path =
        folder_.path() / ("archive" + std::to_string(archives_++) + ".7z");
    firmware.write(path, partitions);
    ASSERT_EQ(kavro_archive_init(archive, path.c_str()), 0);
  }

  test_support::TempDirectory folder_;
  int archives_ = 0;
  flash_session session_;
  Firmware firmware_;
};

TEST_F(SessionStepTest, UnknownScriptCommand) {
  const int result = replay_script(session_, [](script_command& command) {
    command.type = 9;
    return 0;
  });
  EXPECT_EQ(result, -1);
  EXPECT_EQ(session_.error.load(), -8);
  EXPECT_EQ(session_.sub_error.load(), 0);
}

TEST_F(SessionStepTest, ScriptThatCannotBeIterated) {
  EXPECT_EQ(replay_script(session_, [](script_command&) { return -2; }), -1);
  EXPECT_EQ(session_.error.load(), -6);
  EXPECT_EQ(session_.sub_error.load(), -2);
}

TEST_F(SessionStepTest, ScriptEndingInAPauseEndsAfterIt) {
  int fetched = 0;
  const int result = replay_script(session_, [&fetched](script_command& command) {
    if (fetched++ > 0) {
      return ADS_END_OF_SCRIPT;
    }
    command.type = ADS_CMD_USLEEP;
    command.first = 1500;
    return 0;
  });
  EXPECT_EQ(result, 0);
  EXPECT_EQ(fetched, 2);
  EXPECT_EQ(session_.error.load(), 0);
}

TEST_F(SessionStepTest, EmptyFlashBootloader) {
  EXPECT_EQ(send_bld_data(session_, {}), -1);
  EXPECT_EQ(session_.error.load(), -9);
  EXPECT_EQ(session_.sub_error.load(), 0);
}

TEST_F(SessionStepTest, PartitionMissingFromItsArchive) {
  open(&session_.base_archive, firmware_, {"bootstrap", "bootloader", "misc"});
  EXPECT_EQ(send_firmware_file(session_, "osloader", 0, 0), -1);
  EXPECT_EQ(session_.error.load(), -10);
  EXPECT_EQ(session_.sub_error.load(), 0);
}

TEST_F(SessionStepTest, UnknownPartitionName) {
  open(&session_.base_archive, firmware_, {"bootstrap", "bootloader", "misc"});
  EXPECT_EQ(send_firmware_file(session_, "custom_a", 0, 0), -1);
  EXPECT_EQ(session_.error.load(), -1);
  EXPECT_EQ(session_.sub_error.load(), 0);
}

TEST_F(SessionStepTest, FirmwareSizeOfAnOtaArchiveWithoutKernel) {
  open(&session_.base_archive, firmware_, {"bootstrap", "bootloader", "misc"});
  open(&session_.ota_archive, firmware_, {"osloader", "meta", "rootfs"});
  uint64_t total = 0;
  EXPECT_EQ(get_full_firmware_size(session_, total, 1), -1);
  EXPECT_EQ(session_.error.load(), -3);
  EXPECT_EQ(session_.sub_error.load(), ARCHIVE_ERR_PARTITION_NOT_FOUND);
  // Bootstrap, bootloader, misc, meta and osloader were counted before kernel.
  EXPECT_EQ(total, 4096u + 8192u + 48u + 300u + 3000u);
}

}  // namespace
}  // namespace flash_test
