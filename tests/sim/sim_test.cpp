// The simulator as kavro-flash-sim uses it: a configuration it cannot use ends the program with
// exit status 2 and one line naming the offending item; each fault kind makes the module
// misbehave in its own way, which the flashing session reports as its error pair.
#include <gtest/gtest.h>
#include <json-c/json.h>

#include <array>
#include <chrono>
#include <memory>
#include <span>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "sim/virtual_bus.h"
#include "tests/app/fixtures.h"
#include "tests/support/subprocess.h"

namespace {

using namespace std::chrono_literals;
using std::chrono::seconds;
using test_support::ChildProcess;

const std::string kFlashSim = KAVRO_FLASH_SIM_BINARY;

struct BadConfig {
  const char* text;  // nullptr: no file at the path
  std::string problem;
};

TEST(SimulatorConfig, UnusableConfigEndsTheProgram) {
  const std::string modules = R"({"modules": [{)";
  const std::string fault = modules + R"("faults": [{"kind": )";
  const BadConfig cases[] = {
      {nullptr, "No such file or directory"},
      {R"({"modules": [)", "config: not JSON: unexpected end of text"},
      {R"({"modules": []} x)", "config: not JSON: text after the end of the document"},
      {"{modules}", "config: not JSON: quoted object property name expected"},
      {"[]", "config: must be an object with the key \"modules\""},
      {"{}", "config: missing key \"modules\""},
      {R"({"modules": {}})", "modules: must be an array"},
      {R"({"modules": [3]})", "modules[0]: must be an object"},
      {R"({"modules": [{}, {"port": "1-2", "colour": 1}]})", "modules[1]: unknown key \"colour\""},
      {R"({"modules": [{"port": "1-1"}, {"port": "1-1"}]})",
       "modules[1].port: port \"1-1\" is used by an earlier module"},
      {R"({"modules": [{"port": 1}]})", "modules[0].port: must be a string"},
      {R"({"modules": [{"port": ""}]})", "modules[0].port: must not be empty"},
      {R"({"modules": [{"platform": "cv99"}]})",
       "modules[0].platform: unknown platform \"cv99\" (known: s5l, cv22, cv25, s6lm, cv28)"},
      {R"({"modules": [{"revision": 1}]})",
       "modules[0].revision: platform \"cv22\" has no revision 1"},
      {R"({"modules": [{"revision": 1, "adc_reading": 1}]})",
       "modules[0]: give either \"revision\" or \"adc_reading\", not both"},
      {R"({"modules": [{"reenumerate_ms": 1.5}]})",
       "modules[0].reenumerate_ms: must be a whole number"},
      {R"({"modules": [{"attach_after_ms": -1}]})",
       "modules[0].attach_after_ms: must not be negative"},
      {R"({"modules": [{"attach_after_ms": 4294967296}]})",
       "modules[0].attach_after_ms: must be at most 4294967295"},
      {R"({"modules": [{"keep_image_bytes": 1}]})",
       "modules[0].keep_image_bytes: must be true or false"},
      {R"({"modules": [{"bootloader_size": 154305}]})",
       "modules[0].bootloader_size: must be a positive multiple of 4"},
      {R"({"modules": [{"bootloader_sha256": "abcd"}]})",
       "modules[0].bootloader_sha256: must be 64 hexadecimal digits"},
      {R"({"modules": [{"bootloader_sha256": "gggggggggggggggggggggggggggggggggggggggggggggggggggggggggggggggg"}]})",
       "modules[0].bootloader_sha256: must be 64 hexadecimal digits"},
      {R"({"modules": [{"serial": "KV\n1"}]})",
       "modules[0].serial: must be at most 126 printable ASCII characters"},
      {R"({"modules": [{"faults": [{}]}]})", "modules[0].faults[0]: missing key \"kind\""},
      {R"({"modules": [{"faults": [{"kind": "explode"}]}]})",
       "modules[0].faults[0].kind: unknown fault \"explode\""},
      {R"({"modules": [{"faults": [{"kind": "hang", "status": 1}]}]})",
       "modules[0].faults[0]: unknown key \"status\""},
      {R"({"modules": [{"faults": [{"kind": "status"}]}]})",
       "modules[0].faults[0]: missing key \"status\""},
      {R"({"modules": [{"faults": [{"kind": "status", "status": 0}]}]})",
       "modules[0].faults[0].status: must not be 0 (that is no fault)"},
      {R"({"modules": [{"faults": [{"kind": "hang", "command": "format"}]}]})",
       "modules[0].faults[0].command: unknown command \"format\""},
      {R"({"modules": [{"faults": [{"kind": "hang", "command": 9}]}]})",
       "modules[0].faults[0].command: unknown command 9"},
      {R"({"modules": [{"faults": [{"kind": "short_responses", "piece_size": 0}]}]})",
       "modules[0].faults[0].piece_size: must be 1 to 16"},
  };
  for (const auto& test : cases) {
    const std::string path = test.text ? fixture::files().write_file("bad.json", test.text)
                                       : fixture::path("absent.json");
    const auto result =
        test_support::run_process(kFlashSim, {"-g", "-o", "ota.7z"}, {{"KAVRO_SIM_CONFIG", path}});
    const std::string head = test.text ? "simulator config '" : "cannot read simulator config '";
    EXPECT_EQ(result.err, "kavro-flash-sim: " + head + path + "': " + test.problem + "\n");
    EXPECT_EQ(result.out, "") << test.problem;
    EXPECT_EQ(result.exit_status, 2) << test.problem;
  }
}

// Without a configuration there is one cv22 module on port 1-1.
TEST(SimulatorConfig, DefaultIsOneCv22Module) {
  ChildProcess flash(kFlashSim, {"-g", "-o", "ota.7z"}, {{"KAVRO_SIM_CONFIG", ""}});
  // The device manager finds the module on its own time.
  for (int tag = 1; tag < 500; ++tag) {
    const std::string head = "[" + std::to_string(tag) + " 1]";
    flash.write(head + "\n");
    if (flash.read_line(seconds(10)) == head + " 1 0\r\n") {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  flash.write("[1 2] 0\n[2 8] 0\n");
  EXPECT_EQ(flash.read_line(seconds(10)), "[1 2] 2\r\n");
  EXPECT_EQ(flash.read_line(seconds(10)), "[2 8] 1-1\r\n");
}

struct FaultCase {
  const char* platform;
  const char* fault;
  const char* pair;  // the session's error pair; empty when the module is flashed regardless
};

// Every module is flashed by a kavro-flash-sim of its own, all at once, so that the faults that
// run into a time limit wait side by side.
TEST(SimulatorFaults, EachKindAsTheSessionSeesIt) {
  const FaultCase cases[] = {
      {"cv22", R"("kind": "status", "command": "image_header", "occurrence": 2, "status": 5)",
       "-22:5"},
      {"cv22", R"("kind": "status", "command": "data", "status": 3)", "-22:3"},
      {"cv22", R"("kind": "status", "command": 7, "status": 9)", "-22:9"},
      {"cv22", R"("kind": "bad_signature", "command": "partition_details")", "-4:-13"},
      {"cv22", R"("kind": "hang", "command": "ptb_write")", "-4:-9"},
      {"cv22", R"("kind": "hang", "after_control_transfers": 40)", "-4:-4"},
      {"cv22", R"("kind": "unplug", "after_image_bytes": 30000)", "-4:-10"},
      {"cv22", R"("kind": "no_return")", "-15:0"},
      {"cv22", R"("kind": "short_responses", "command": "any", "piece_size": 4)", ""},
      {"cv22", R"("kind": "poll_never_ready")", "-4:-6"},
      {"s5l", R"("kind": "adc_never_done")", ""},
  };
  std::vector<std::unique_ptr<ChildProcess>> runs;
  for (const auto& test : cases) {
    const std::string port = "9-" + std::to_string(runs.size() + 1);
    const auto module =
        fixture::module(port, test.platform, ", \"faults\": [{" + std::string(test.fault) + "}]");
    runs.push_back(std::make_unique<ChildProcess>(
        kFlashSim, std::vector<std::string>{"-o", fixture::ota_file(test.platform)},
        test_support::EnvironmentOverrides{
            {"KAVRO_SIM_CONFIG", fixture::sim_config(port + ".json", {module})}}));
  }
  for (size_t i = 0; i < runs.size(); ++i) {
    const std::string pair = cases[i].pair;
    const auto result = runs[i]->finish(seconds(120));
    const std::string ending = pair.empty() ? "Flashing completed successfully\r\n"
                                            : "Error occured during flashing: " + pair + "\r\n";
    EXPECT_NE(result.out.find(ending), std::string::npos) << cases[i].fault << "\n" << result.out;
    EXPECT_EQ(result.exit_status, pair.empty() ? 0 : 9) << cases[i].fault;
  }
}

// A block as little-endian words, zero-padded to `length` bytes.
struct Block {
  size_t length;
  std::vector<uint32_t> words;
};

std::vector<uint8_t> bytes_of(const Block& block) {
  std::vector<uint8_t> bytes(block.length);
  for (size_t i = 0; i < block.words.size() * 4; ++i) {
    bytes[i] = static_cast<uint8_t>(block.words[i / 4] >> (8 * (i % 4)));
  }
  return bytes;
}

// A module with an 8-byte flash bootloader, brought into software mode the way a host does it.
std::unique_ptr<usb::Device> in_software_mode(sim::VirtualBus& bus) {
  const auto open = [&] {
    const auto found = bus.list(0x4255);
    return found.empty() ? nullptr : bus.open(found.front());
  };
  auto device = open();
  for (const Block& step : {Block{12, {0x30000000, 0, 0}}, Block{12, {0x30000000, 4, 0}},
                            Block{12, {0x00010000, 0, 0}}}) {
    auto bytes = bytes_of(step);
    device->control({0x40, 0, 0, 0, 12}, bytes, 1000);
  }
  bus.wait_until([&] { return bus.module("1-1").presence().mode == sim::Mode::Software; }, 10s);
  return open();
}

constexpr uint32_t kCmd = 0x4B434D44;      // the signature every command block begins with
constexpr uint32_t kKernel = 0x00616E6B;   // "kna", a partition name field
constexpr uint32_t kUnknown = 0x007A7978;  // "xyz"
const Block kLayout{164, {kCmd, 1, 0, 0, 1 << 20, 0, 1 << 20}};  // no OTA copies, 1 MiB each
const Block kKernelHeader{52, {kCmd, 2, kKernel, 0, 0, 8, 8, 0, 1, 0x6522DF69}};
const Block kZeros{8, {0, 0}};  // the kernel image: its CRC-32 is 0x6522DF69

// What sessions never send: the flash bootloader's status for each kind of bad block.
TEST(SimulatorBootloader, RefusesWhatBreaksTheRules) {
  const std::pair<std::vector<Block>, uint32_t> cases[] = {
      {{{8, {0x12345678, 1}}}, 1},                                     // no command signature
      {{{8, {kCmd, 1}}}, 1},                                           // shorter than its command
      {{{12, {kCmd, 7, 42}}}, 6},                                      // before the layout
      {{{8, {kCmd, 6}}}, 0},                                           // a reboot may come any time
      {{{164, {kCmd, 1, 2}}}, 1},                                      // OTA neither on nor off
      {{{164, {kCmd, 1, 0, 0x100, 0}}}, 4},                            // beyond the flash capacity
      {{{164, {kCmd, 1, 0, 0xFFFFFFFF, 0xFFFFFFFF, 1, 0}}}, 2},        // sizes overflow
      {{{164, {kCmd, 1, 0, 0, 1, 0, 1, 1, kKernel}}}, 3},              // a custom "kna"
      {{{164, {kCmd, 1, 0, 0, 1, 0, 1, 9}}}, 1},                       // nine custom partitions
      {{{164, {kCmd, 1, 0, 0, 1, 0, 1, 0, 0x61}}}, 1},                 // an entry past the count
      {{{164, {kCmd, 1, 0, 0, 1, 0, 1, 1}}}, 3},                       // a custom without a name
      {{{164, {kCmd, 1, 0, 0, 1, 0, 1, 1, 0x6100}}}, 1},               // a name after its NUL
      {{{164, {kCmd, 1, 0, 0, 1, 0, 1, 1, 0x0A61}}}, 1},               // a control character
      {{{164, {kCmd, 1, 0, 0, 1, 0, 1, 2, 0x61, 0, 1, 0, 0x61}}}, 3},  // one name twice
      {{{8, {kCmd, 9}}}, 1},                                           // no such command
      {{kLayout, {52, {kCmd, 2, kUnknown, 0, 0, 8, 8, 0, 1}}}, 1},     // no such partition
      {{kLayout, {52, {kCmd, 2, kKernel, 0, 0, 0, 8, 0, 1}}}, 4},      // an empty image
      {{kLayout, {52, {kCmd, 2, kKernel, 0, 0, 16, 8, 0, 1}}}, 1},     // ends before its size
      {{kLayout, {24, {kCmd, 3, 8, 0, 1}}}, 1},                        // block without an image
      {{kLayout, kKernelHeader, {8, {1, 0}}}, 5},                      // CRC mismatch
      {{kLayout, kKernelHeader, {4, {0}}}, 9},                         // shorter than announced
      {{kLayout, kKernelHeader, kZeros, kLayout}, 6},                  // layout after an image
      {{kLayout, kKernelHeader, kZeros, {16, {kCmd, 4, kUnknown}}}, 1},  // erase no partition
      {{kLayout, {272, {kCmd, 8, 0x00747362}}}, 1},  // "bst" signed before it came
  };
  for (const auto& [blocks, status] : cases) {
    sim::ModuleConfig config;
    config.bootloader_size = 8;
    sim::VirtualBus bus({config});
    auto device = in_software_mode(bus);
    ASSERT_NE(device, nullptr);
    std::array<uint8_t, 16> response{};
    for (const Block& block : blocks) {
      auto bytes = bytes_of(block);
      size_t moved = 0;
      ASSERT_EQ(device->bulk(0x01, bytes, 1000, moved), usb::kOk);
      ASSERT_EQ(device->bulk(0x81, response, 1000, moved), usb::kOk);
    }
    // The response signature, then the status.
    EXPECT_EQ(std::vector<uint8_t>(response.begin(), response.begin() + 8),
              bytes_of({8, {0x4B525350, status}}))
        << "command " << blocks.back().words[1] << " after " << blocks.size() - 1 << " blocks";
  }
}

// What a host that misuses the transfers gets: the boot ROM stalls what it does not know and
// ignores a jump it cannot take; bulk transfers work in software mode only, on its two
// endpoints, into buffers that hold a whole response packet.
TEST(SimulatorTransfers, RefusesWhatTheModuleDoesNotTake) {
  sim::ModuleConfig config;
  config.bootloader_size = 8;
  sim::VirtualBus bus({config});
  auto device = bus.open(bus.list(0x4255).front());
  const std::tuple<usb::SetupPacket, Block, int> requests[] = {
      {{0x40, 1, 0, 0, 12}, {12, {0x30000000, 0, 0}}, usb::kError},  // unknown request
      {{0x40, 0, 0, 0, 12}, {12, {0x30000000, 2, 0}}, usb::kError},  // unaligned write
      {{0x40, 0, 0, 0, 12}, {12, {0x12345678, 0, 0}}, usb::kError},  // unknown opcode
      {{0x40, 0, 0, 0, 12}, {12, {0x00010000, 0x100, 0}}, 12},       // a jump elsewhere
      {{0x40, 0, 0, 0, 12}, {12, {0x00010000, 0, 0}}, 12},           // into nothing downloaded
      {{0xC0, 0, 0, 2, 4}, {4, {}}, usb::kError},                    // unaligned read
      {{0xC0, 0, 0, 0, 8}, {8, {}}, usb::kError},                    // not one word
      {{0x80, 6, 0x0200, 0, 9}, {9, {}}, usb::kError},               // no other descriptor
      {{0x80, 6, 0x0100, 0, 8}, {8, {}}, 8},                         // the device's, in part
  };
  for (const auto& [setup, block, result] : requests) {
    auto bytes = bytes_of(block);
    EXPECT_EQ(device->control(setup, bytes, 1000), result) << setup.wValue << setup.wIndex;
  }
  std::vector<uint8_t> piece(8);
  size_t moved = 0;
  EXPECT_EQ(device->bulk(0x01, piece, 1000, moved), usb::kError);  // the boot ROM has none
  device = in_software_mode(bus);
  auto reboot = bytes_of({8, {kCmd, 6}});
  EXPECT_EQ(device->bulk(0x02, reboot, 1000, moved), usb::kError);
  EXPECT_EQ(device->bulk(0x01, reboot, 1000, moved), usb::kOk);
  EXPECT_EQ(device->bulk(0x81, std::span(piece).first(4), 1000, moved), usb::kError);
  EXPECT_EQ(device->control({0xC0, 0, 0, 0, 4}, std::span(piece).first(4), 1000), usb::kError);
}

// module.json tells a check from outside what hardware mode served (the bring-up script's
// register accesses, the download's word count and the jump) and the busy time the timing
// model charged, at least one latency per control transfer.
TEST(SimulatorReport, HardwareModeAndModelledBusyTime) {
  const std::string config = fixture::sim_config(
      "report.json", {fixture::module("5-1", "cv22", R"(, "timing": {"control_latency_us": 20})")});
  const auto result = test_support::run_process(kFlashSim, {"-o", fixture::ota_file("cv22")},
                                                {{"KAVRO_SIM_CONFIG", config}});
  ASSERT_EQ(result.exit_status, 0) << result.out;
  const std::unique_ptr<json_object, decltype(&json_object_put)> root(
      json_object_from_file((fixture::flash_dir("5-1") + "/module.json").c_str()), json_object_put);
  ASSERT_NE(root, nullptr);
  json_object* mode = json_object_object_get(root.get(), "hardware_mode");
  json_object* first = json_object_array_get_idx(json_object_object_get(mode, "registers"), 0);
  EXPECT_STREQ(json_object_get_string(json_object_object_get(first, "op")), "write");
  const int64_t words = json_object_get_int64(json_object_object_get(mode, "download_writes"));
  json_object* bootloader = json_object_object_get(root.get(), "bootloader");
  EXPECT_EQ(words * 4, json_object_get_int64(json_object_object_get(bootloader, "bytes")));
  EXPECT_STREQ(json_object_get_string(json_object_object_get(mode, "jump_address")), "0x00000000");
  EXPECT_GE(json_object_get_int64(json_object_object_get(root.get(), "modelled_busy_ms")),
            words * 20 / 1000);
}

}  // namespace
