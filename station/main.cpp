// kavro-station: flashes every module plugged in, all shift long, through `kavro-flash -g`.
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <system_error>

#include "station/firmware_version.h"
#include "station/flasher_link.h"
#include "station/options.h"
#include "station/remote_modules.h"
#include "station/results/results_store.h"
#include "station/results_log.h"
#include "station/shift.h"
#include "station/stop_signals.h"
#include "station/view.h"

namespace {

using namespace station;

constexpr int kAllSucceeded = 0;
constexpr int kSomeFailed = 1;
constexpr int kFlasherLost = 2;
constexpr int kDatabaseRefused = 2;
constexpr auto kRound = std::chrono::milliseconds(200);
// --once stops looking once the modules found have stayed the same this long.
constexpr auto kOnceQuiet = std::chrono::seconds(1);

// KAVRO_FLASH, else the kavro-flash installed beside this program, else the one on PATH.
std::string flasher_program() {
  if (const char* chosen = std::getenv("KAVRO_FLASH"); chosen != nullptr && *chosen != '\0') {
    return chosen;
  }
  std::error_code error;
  const auto beside =
      std::filesystem::read_symlink("/proc/self/exe", error).parent_path() / "kavro-flash";
  return !error && ::access(beside.c_str(), X_OK) == 0 ? beside.string() : "kavro-flash";
}

FirmwareInfo firmware_info(const StationOptions& options) {
  const std::string& versioned = options.ota_file.empty() ? options.base_file : options.ota_file;
  return {versioned.empty() ? "" : firmware_version(versioned), options.ota_file,
          options.base_file};
}

// Hands every step to the view and every finished module to the results log and database.
class Recorder final : public ShiftListener {
 public:
  Recorder(View& view, ResultsLog* log, results::ResultsStore* store, FirmwareInfo firmware)
      : view_(view), log_(log), store_(store), firmware_(std::move(firmware)) {}
  void module_found(const ModuleRecord& record) override { view_.module_found(record); }
  void module_started(const ModuleRecord& record) override { view_.module_started(record); }
  void module_finished(const ModuleRecord& record) override {
    if (log_ != nullptr && !log_->append(record)) {
      std::fprintf(stderr, "kavro-station: cannot write the results file: %s\n",
                   std::strerror(errno));
    }
    if (store_ != nullptr) {
      store_->keep(result_line(record, firmware_));
    }
    view_.module_finished(record);
  }

 private:
  View& view_;
  ResultsLog* log_;
  results::ResultsStore* store_;
  FirmwareInfo firmware_;
};

// Whether --once still takes new modules: within the settle time, and until the modules
// found have stayed the same for a moment.
bool once_still_looking(const StationOptions& options, const Shift& shift,
                        std::chrono::steady_clock::time_point began) {
  const auto now = std::chrono::steady_clock::now();
  if (now - began >= options.settle) {
    return false;
  }
  return shift.records().empty() ||
         std::chrono::system_clock::now() - shift.records().back().started < kOnceQuiet;
}

Summary shift_summary(const Shift& shift, bool stopping, const RemoteModules* remotes,
                      const results::ResultsStore* store) {
  Summary summary = shift.summary();
  summary.stopping = stopping;
  if (remotes != nullptr) {
    summary.unreachable_hosts = remotes->unreachable_hosts();
  }
  if (store != nullptr) {
    summary.results_status = store->status();
  }
  return summary;
}

// Rounds until the shift is over; false when the flasher stopped answering. A results database
// that cannot take records ends the shift as a stop signal does.
bool run_shift(const StationOptions& options, Shift& shift, View& view,
               const RemoteModules* remotes, const results::ResultsStore* store) {
  const auto began = std::chrono::steady_clock::now();
  bool stopping = false;
  while (true) {
    if (stop_signals() >= 2) {
      return shift.stop_all();
    }
    if (stop_signals() == 1 && !stopping) {
      stopping = true;
      view.stopping(shift.running());
    }
    const bool take_new = !stopping && (store == nullptr || store->accepting()) &&
                          (!options.once || once_still_looking(options, shift, began));
    if (!shift.poll(take_new)) {
      return false;
    }
    if (!take_new && shift.running() == 0) {
      return true;
    }
    view.refresh(shift.records(), shift_summary(shift, stopping, remotes, store));
    pause_for(kRound);
  }
}

int run(const StationOptions& options) {
  std::unique_ptr<ResultsLog> log;
  try {
    if (!options.results_file.empty()) {
      log = std::make_unique<ResultsLog>(options.results_file, firmware_info(options));
    }
  } catch (const std::system_error& error) {
    std::fprintf(stderr, "kavro-station: %s\n", error.what());
    return kFlasherLost;
  }
  std::signal(SIGPIPE, SIG_IGN);  // a flasher that ended is seen in the failed write
  install_stop_signals();
  // Opened after the stop signals are held back, which the spool's sender thread inherits.
  std::unique_ptr<results::ResultsStore> store;
  try {
    if (!options.database.empty()) {
      store = std::make_unique<results::ResultsStore>(results::StoreOptions{
          options.database, options.spool, "", !options.results_file.empty()});
    }
  } catch (const std::runtime_error& error) {
    std::fprintf(stderr, "kavro-station: %s\n", error.what());
    return kDatabaseRefused;
  }
  std::unique_ptr<FlasherLink> link;
  try {
    link = std::make_unique<FlasherLink>(flasher_program(), options.flasher_arguments);
  } catch (const std::system_error& error) {
    std::fprintf(stderr, "kavro-station: %s\n", error.what());
    return kFlasherLost;
  }
  // The flasher checks the inputs before it answers anything: a refusal ends it with its
  // message on standard error and its exit status, which become the station's.
  if (!link->request(1)) {
    const int status = link->wait_exit();
    return status != 0 ? status : kFlasherLost;
  }

  const auto view = isatty(STDOUT_FILENO) ? make_live_table() : make_event_lines();
  Recorder recorder(*view, log.get(), store.get(), firmware_info(options));
  // Started after the stop signals are held back, which its thread inherits.
  std::optional<RemoteModules> remotes;
  Shift::RemoteOf remote_of;
  if (!options.remotes.empty()) {
    // Local modules are still flashed, and the missing piece may be added while the shift runs.
    for (const std::string& problem : remote_import_problems()) {
      std::fprintf(stderr, "kavro-station: warning: no remote module can be attached: %s\n",
                   problem.c_str());
    }
    remotes.emplace(options.remotes);
    remote_of = &RemoteModules::remote_of;
  }
  Shift shift(*link, recorder, remote_of);
  const RemoteModules* remote_hosts = remotes ? &*remotes : nullptr;
  const bool answered = run_shift(options, shift, *view, remote_hosts, store.get());
  const int flasher_status = link->quit();
  view->finish(shift.records(), shift_summary(shift, false, remote_hosts, store.get()));
  const bool stored = store == nullptr || store->finish();
  if (!answered) {
    std::fprintf(stderr, "kavro-station: kavro-flash stopped answering (exit status %d)\n",
                 flasher_status);
    return kFlasherLost;
  }
  const Summary summary = shift.summary();
  if (options.once && shift.records().empty()) {
    std::fprintf(stderr, "kavro-station: no module in hardware mode found\n");
    return kSomeFailed;
  }
  return summary.failed == 0 && stored ? kAllSucceeded : kSomeFailed;
}

}  // namespace

int main(int argc, char* argv[]) {
  auto parsed = station::parse_options(argc, argv);
  if (const int* exit_status = std::get_if<int>(&parsed)) {
    return *exit_status;
  }
  return run(std::get<station::StationOptions>(parsed));
}
