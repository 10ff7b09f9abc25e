// A full slot table: 64 simulated modules flashed at once by one kavro-flash-sim -g, half of
// them s5l revision 0 and half revision 1, which take different built-in boot chains and
// bring-up scripts. Every module must end in state 6 with its own images in its flash folder.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/app/fixture_files.h"
#include "tests/app/protocol_client.h"

namespace {

constexpr int kModules = 64;

std::string port_of(int index) {
  return "5-" + std::to_string(index + 1);
}
int revision_of(int index) {
  return index % 2;
}

size_t differing_bytes(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  if (a.size() != b.size()) {
    return std::max(a.size(), b.size());
  }
  size_t count = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    count += a[i] != b[i] ? 1 : 0;
  }
  return count;
}

TEST(ManyModules, SixtyFourModulesFlashAtOnce) {
  std::vector<std::string> modules;
  for (int index = 0; index < kModules; ++index) {
    modules.push_back(fixture::module(port_of(index), "s5l",
                                      ", \"revision\": " + std::to_string(revision_of(index))));
  }
  const std::string config = fixture::sim_config("sixty-four.json", modules);
  ProtocolClient client(KAVRO_FLASH_SIM_BINARY, config, {"-o", fixture::ota_file("s5l", 5)});
  ASSERT_TRUE(client.wait_for_modules(kModules)) << client.process().error_output();

  std::string starts;
  for (int index = 0; index < kModules; ++index) {
    starts += "[" + std::to_string(index) + " 6] " + std::to_string(index) + "\n";
  }
  ASSERT_TRUE(client.process().write(starts));
  for (int index = 0; index < kModules; ++index) {
    ASSERT_EQ(client.next_response(), "[" + std::to_string(index) + " 6]\r\n");
  }
  // The table is full: one more session on any slot is refused.
  EXPECT_EQ(client.ask("[99 6] 17"), "[99 255] 5\r\n");

  std::set<int> running;
  for (int index = 0; index < kModules; ++index) {
    running.insert(index);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(4);
  while (!running.empty() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    for (auto it = running.begin(); it != running.end();) {
      const std::string head = "[" + std::to_string(1000 + *it) + " 3] ";
      const std::string response = client.ask(head + std::to_string(*it));
      ASSERT_FALSE(response.starts_with(head + "7 ")) << "slot " << *it << ": " << response;
      it = response == head + "6 100\r\n" ? running.erase(it) : std::next(it);
    }
  }
  ASSERT_TRUE(running.empty()) << running.size() << " sessions did not end";

  const auto& ota = fixture::ota("s5l", 5);
  const std::filesystem::path images = KAVRO_GENERATED_IMAGES_DIR;
  const auto bootstrap_rev0 = fixture::read_file((images / "base1" / "bst.bin").string());
  const auto bootstrap_rev1 = fixture::read_file((images / "base5" / "bst.bin").string());
  const auto misc = fixture::read_file((images / "base1" / "msc.bin").string());
  for (int index = 0; index < kModules; ++index) {
    const std::string folder = fixture::flash_dir(port_of(index)) + "/";
    for (const char* name : {"bda.bin", "mta.bin", "kna.bin", "rfa.bin"}) {
      EXPECT_EQ(fixture::read_file(folder + name), ota.image(name)) << folder << name;
    }
    EXPECT_EQ(fixture::read_file(folder + "msc.bin"), misc) << folder;
    // The bootstrap arrives with a few parameter words patched in; it must be the one of the
    // module's own revision.
    const auto bootstrap = fixture::read_file(folder + "bst.bin");
    const auto& own = revision_of(index) == 0 ? bootstrap_rev0 : bootstrap_rev1;
    const auto& other = revision_of(index) == 0 ? bootstrap_rev1 : bootstrap_rev0;
    EXPECT_LT(differing_bytes(bootstrap, own), differing_bytes(bootstrap, other)) << folder;
  }
  const auto result = client.quit();
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.exit_status, 0) << result.err;
}

}  // namespace
