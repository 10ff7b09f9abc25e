// A long shift in automated mode: round after round, every simulated module is flashed through
// the request dispatcher, a seeded random subset of them with a fault. Each module must end in
// state 6, or in state 7 with exactly the error pair its fault gives; no request may take longer
// than its bound; memory and open files must not grow after the second round.
//   soak ROUNDS MODULES SEED
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app/request_dispatch.h"
#include "app/session_table.h"
#include "firmware/archive.h"
#include "flash/session.h"
#include "sim/virtual_bus.h"
#include "tests/support/firmware_archives.h"
#include "tests/support/temp_directory.h"
#include "usb/device_manager.h"

namespace {

using Kind = sim::Fault::Kind;

struct Outcome {
  const char* fault;
  sim::Fault setup;
  uint32_t state;
  int error;
  int sub_error;
};

// Every fault the simulator knows, and what the module's session must end with. The first row
// is the module without a fault.
const Outcome kOutcomes[] = {
    {"none", {}, 6, 0, 0},
    {"status", {.kind = Kind::Status, .command_id = 2, .status = 3}, 7, -22, 3},
    {"bad_signature", {.kind = Kind::BadSignature, .command_id = 1}, 7, -4, -13},
    {"hang", {.kind = Kind::Hang, .after_image_bytes = 5000}, 7, -4, -9},
    {"unplug", {.kind = Kind::Unplug, .after_image_bytes = 5000}, 7, -4, -10},
    {"no_return", {.kind = Kind::NoReturn}, 7, -15, 0},
    {"short_responses", {.kind = Kind::ShortResponses, .piece_size = 4}, 6, 0, 0},
    {"poll_never_ready", {.kind = Kind::PollNeverReady}, 7, -4, -6},
    // cv22 modules take no ADC reading, so a broken ADC must not disturb them.
    {"adc_never_done", {.kind = Kind::AdcNeverDone}, 6, 0, 0},
};
// Starting a session opens and checks the archives on the requesting thread, which takes seconds
// on a loaded machine under the sanitizers; no request waits for a module.
constexpr auto kRequestBound = std::chrono::seconds(10);

int failures = 0;

void fail(const std::string& what) {
  std::fprintf(stderr, "FAIL %s\n", what.c_str());
  ++failures;
}

void ask(RequestContext& context, const std::string& request) {
  const auto start = std::chrono::steady_clock::now();
  process_request(context, request);
  if (std::chrono::steady_clock::now() - start > kRequestBound) {
    fail("request took too long: " + request);
  }
}

long resident_kib() {
  long pages = 0;
  long resident = 0;
  std::ifstream("/proc/self/statm") >> pages >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// Under AddressSanitizer the resident set grows with the shadow of every thread stack ever used,
// which says nothing about the program; the allocator's count of live heap bytes does.
extern "C" size_t __sanitizer_get_current_allocated_bytes() __attribute__((weak));

long memory_kib() {
  return __sanitizer_get_current_allocated_bytes != nullptr
             ? static_cast<long>(__sanitizer_get_current_allocated_bytes() / 1024)
             : resident_kib();
}

long open_files() {
  return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
}

std::vector<int> wait_for_modules(dm_state** dm, size_t count) {
  for (;;) {
    uint8_t* list = nullptr;
    uint32_t listed = 0;
    kavro_dm_device_list_get(dm, &list, &listed, DM_LIST_HARDWARE_ONLY);
    std::vector<int> slots(list, list + listed);
    kavro_dm_device_list_free(&list);
    if (slots.size() == count) {
      return slots;
    }
    kavro_dm_wait_for_change(dm, kavro_dm_change_count(dm), 100);
  }
}

void run_round(int round, size_t modules, std::mt19937& random, const Options& options) {
  std::vector<sim::ModuleConfig> configs(modules);
  std::vector<const Outcome*> expected;
  for (size_t i = 0; i < modules; ++i) {
    configs[i].port = "1-" + std::to_string(i + 1);
    configs[i].reenumerate_ms = 5;
    configs[i].keep_image_bytes = false;
    configs[i].record_traffic = false;
    // About half of the modules get a fault.
    const size_t pick = random() % (2 * std::size(kOutcomes));
    expected.push_back(&kOutcomes[pick < std::size(kOutcomes) ? pick : 0]);
    if (expected.back() != &kOutcomes[0]) {
      configs[i].faults.push_back(expected.back()->setup);
    }
  }
  dm_state* dm = nullptr;
  if (kavro_dm_init(&dm, std::make_shared<sim::VirtualBus>(configs)) != 0) {
    std::abort();
  }
  SessionTable sessions;
  RequestContext context{&dm, sessions, options};
  const std::vector<int> slots = wait_for_modules(&dm, modules);
  for (const int slot : slots) {
    ask(context, "[1 6] " + std::to_string(slot));
  }
  for (const int slot : slots) {
    char path[64] = {};
    kavro_dm_device_path_get(&dm, slot, path, sizeof path);
    const Outcome& want = *expected[std::stoul(std::string(path).substr(2)) - 1];
    uint32_t state = 0;
    uint32_t error = 0;
    uint32_t sub_error = 0;
    while (kavro_flash_get_status(sessions.entry(slot), &state, &error, &sub_error, nullptr) == 0 &&
           state != 6 && state != 7) {
      ask(context, "[2 3] " + std::to_string(slot));
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (state != want.state || static_cast<int>(error) != want.error ||
        static_cast<int>(sub_error) != want.sub_error) {
      fail("round " + std::to_string(round) + ": module " + path + " with fault " + want.fault +
           " ended " + std::to_string(state) + " " + std::to_string(static_cast<int>(error)) + ":" +
           std::to_string(static_cast<int>(sub_error)));
    }
  }
  sessions.destroy_all();
  kavro_dm_destroy(&dm);
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: soak ROUNDS MODULES SEED\n");
    return 2;
  }
  const int rounds = std::stoi(argv[1]);
  std::mt19937 random(std::stoul(argv[3]));
  kavro_archive_set_open_delay_for_tests(std::chrono::milliseconds(0));
  test_support::TempDirectory folder;
  Options options;
  options.ota_file = folder.file("ota.7z");
  test_support::FirmwareArchive("cv22").add_ota_images(1).write(options.ota_file);
  // The responses are not read: the sessions' states are checked directly.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) {
    return 2;
  }
  long memory_after_2 = 0;
  long files_after_2 = 0;
  for (int round = 1; round <= rounds; ++round) {
    run_round(round, std::stoul(argv[2]), random, options);
    std::fprintf(stderr,
                 "round %d: %ld KiB resident, %ld KiB in use, %ld open files, %d failures\n", round,
                 resident_kib(), memory_kib(), open_files(), failures);
    if (round == 2) {
      memory_after_2 = memory_kib();
      files_after_2 = open_files();
    }
  }
  if (rounds > 2 &&
      (memory_kib() * 100 > memory_after_2 * 105 || open_files() * 100 > files_after_2 * 105)) {
    fail("memory or open files grew after round 2");
  }
  return failures == 0 ? 0 : 1;
}
