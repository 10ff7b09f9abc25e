#include <gtest/gtest.h>

#include <climits>
#include <set>
#include <string>

#include "tests/flash/flash_test_support.h"

// What init refuses, stopping and destroying sessions, and what no whole session reaches:
// script commands no script holds and the error texts.
namespace flash_test {
namespace {

class SessionLifecycleTest : public FlashSessionTest {
 protected:
  int init(flash_session** session, int slot, const std::string& public_key = "",
           const std::string& private_key = "") {
    return kavro_flash_init(session, nullptr, nullptr, "", nullptr, &dm_, slot, 0, 0,
                            public_key.empty() ? nullptr : public_key.c_str(), private_key.c_str());
  }
};

// A refused init leaves the handle empty and the slot free. A key whose signatures do not fit
// the 256-byte field, one that is not RSA, fails its check or needs a pass phrase is refused.
// A slot holds one session until it is destroyed, even after its thread has ended.
TEST_F(SessionLifecycleTest, InitRefusesBadArgumentsUnusableKeysAndTakenSlots) {
  start_bus({});
  const SecureBootKeys& keys = secure_boot_keys();
  const std::string encrypted = folder_.file("encrypted.pem");
  test_support::write_encrypted_private_key_pem(encrypted, keys.key.get(), "secret");
  const std::string pub = keys.public_key_file;
  const auto key = [this](const char* name, const test_support::KeyPtr& made) {
    test_support::write_private_key_pem(folder_.file(name), made.get());
    return folder_.file(name);
  };
  flash_session* session = nullptr;
  flash_session* first = nullptr;
  const struct {
    const char* what;
    int result;
    int expected;
  } rows[] = {
      {"slot 64", init(&session, 64), -1},
      {"slot -1", init(&session, -1), -1},
      {"no handle", init(nullptr, 0), -1},
      {"no device manager", kavro_flash_init(&session, "", "", "", "", nullptr, 0, 0, 0, "", ""),
       -1},
      {"no base file", kavro_flash_init(&session, "", "", nullptr, "", &dm_, 0, 0, 0, "", ""), -1},
      {"missing key", init(&session, 3, pub, folder_.file("missing.pem")), -20},
      {"short public key",
       init(&session, 3, folder_.write_file("short", "k"), keys.private_key_file), -20},
      {"EC key", init(&session, 3, pub, key("ec.pem", test_support::make_ec_key())), -20},
      {"inconsistent key",
       init(&session, 3, pub,
            key("bad.pem", test_support::make_inconsistent_rsa_copy(keys.key.get()))),
       -20},
      {"encrypted key", init(&session, 3, pub, encrypted), -20},
      {"RSA-4096 key", init(&session, 3, pub, key("4096.pem", test_support::make_rsa_key(4096))),
       -20},
      {"no private key: the public key file is not read", init(&first, 3, "missing.pub"), 0},
      {"slot taken by a session", init(&session, 3), -7},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(row.result, row.expected) << row.what;
  }
  EXPECT_EQ(session, nullptr);
  join_session_thread(*first);
  EXPECT_EQ(init(&session, 3), -7);
  EXPECT_EQ(kavro_flash_get_status(&first, nullptr, nullptr, nullptr, nullptr), -1);
  EXPECT_EQ(kavro_flash_get_status(&session, nullptr, nullptr, nullptr, nullptr), -1);
  EXPECT_EQ(kavro_flash_get_status(nullptr, nullptr, nullptr, nullptr, nullptr), -1);
  kavro_flash_destroy(&first);
  kavro_flash_destroy(nullptr);
  EXPECT_EQ(init(&session, 3), 0);
  kavro_flash_destroy(&session);
}

// A stop while an image streams ends it after the piece in hand: a slow module has taken one
// block of a rootfs of three when the stop comes, and neither the rest nor the table follows.
TEST_F(SessionLifecycleTest, StopWhileAnImageStreams) {
  Firmware firmware;
  firmware.images["rootfs"].bytes = patterned_bytes(3 * 2113568, 11);
  sim::ModuleConfig config = module_config();
  config.timing.flash_bytes_per_second = 2 << 20;
  start_bus({config});
  SessionOptions options = options_for(Firmware());
  options.ota_file = firmware.write_sparse_ota(folder_.file("ota.tar"), 3 * 2113568);
  flash_session* session = start_session(options);
  ASSERT_TRUE(sim_->wait_until(
      [this] {
        return module().flash().images.count("rfa") && module().flash().images.at("rfa").blocks > 0;
      },
      std::chrono::seconds(60)));
  session->stop.request();
  const SessionStatus status = finish_session(session);
  EXPECT_EQ(std::pair(status.state, status.error), std::pair(FLASH_STATE_SOFTWARE, 0));
  EXPECT_LT(module().flash().images.at("rfa").blocks, 3u);
  EXPECT_FALSE(module().flash().ptb_written);
}

// A pause of 2^31 microseconds or more is that many unsigned microseconds (over half an hour),
// yet destroying the session ends it at once.
TEST_F(SessionLifecycleTest, DestroyEndsALongScriptPause) {
  EXPECT_EQ(usleep_pause_length(INT32_MIN), std::chrono::milliseconds(2147483));
  start_bus();
  SessionOptions options = options_for(Firmware());
  options.ads_file = folder_.write_file("pause.txt", "write 0xdffe0800,0x1\nusleep 2147483648\n");
  start_session(options);
  ASSERT_TRUE(sim_->wait_until([this] { return module().peek(0xDFFE0800) == 1; },
                               std::chrono::seconds(30)));
  kavro_flash_destroy(&sessions_.back());
  EXPECT_EQ(module().downloaded_bootloader().bytes, 0u);
}

// Script commands a built-in or parsed script never holds.
TEST_F(SessionLifecycleTest, ScriptThatCannotBeReplayed) {
  flash_session session;
  EXPECT_EQ(replay_script(session, [](script_command& next) { return next.type = 9, 0; }), -1);
  EXPECT_EQ(std::pair(session.error.load(), session.sub_error.load()), std::pair(-8, 0));
  EXPECT_EQ(replay_script(session, [](script_command&) { return -2; }), -1);
  EXPECT_EQ(std::pair(session.error.load(), session.sub_error.load()), std::pair(-6, -2));
}

// Every error code and every device status is printed in red with a text of its own; a module's
// error is explained by that module on a second line.
TEST(SessionErrorText, EveryCodeAndDeviceStatusHasItsOwnText) {
  const auto printed = [](int error, int sub_error) {
    testing::internal::CaptureStdout();
    kavro_flash_print_error_string(error, sub_error);
    return testing::internal::GetCapturedStdout();
  };
  std::set<std::string> texts;
  for (int code = -21; code <= 10; ++code) {
    texts.insert(code < 0 ? printed(code, -29) : printed(-22, code));
  }
  EXPECT_EQ(texts.size(), 32u);
  EXPECT_EQ(texts.count(printed(-23, 0)), 0u);  // none falls back to "Unknown error"
  // A detail outside its subsystem's codes is named as unknown.
  for (const auto& [error, sub_error] : {std::pair(-3, 1), {-4, 0}, {-4, -99}, {-5, 1}, {-6, 1}}) {
    EXPECT_NE(printed(error, sub_error).find("Unknown error"), std::string::npos) << error;
  }
  EXPECT_EQ(printed(-3, -29),
            "\033[31mError with archive:\033[0m\n\033[31mSignature check failed\033[0m\n");
}

}  // namespace
}  // namespace flash_test
