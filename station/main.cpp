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
#include <stdexcept>
#include <system_error>

#include "common/environment.h"
#include "common/request_protocol.h"
#include "station/flasher_link.h"
#include "station/options.h"
#include "station/preflight.h"
#include "station/remote_modules.h"
#include "station/result_record.h"
#include "station/results/results_store.h"
#include "station/results_log.h"
#include "station/shift.h"
#include "station/shift_inputs.h"
#include "station/signals.h"
#include "station/view.h"

namespace {

using namespace station;

constexpr int kAllSucceeded = 0;
constexpr int kSomeFailed = 1;
constexpr int kFlasherLost = 2;
// The dashboard, the results log or the results database could not be opened.
constexpr int kCannotStart = 2;
constexpr auto kRound = std::chrono::milliseconds(200);
// --once stops looking once the modules found have stayed the same this long.
constexpr auto kOnceQuiet = std::chrono::seconds(1);

// KAVRO_FLASH, else the kavro-flash installed beside this program, else the one on PATH.
std::string flasher_program() {
  if (const char* chosen = std::getenv(environment_name(STATION_ENVIRONMENT, "KAVRO_FLASH"));
      chosen != nullptr && *chosen != '\0') {
    return chosen;
  }
  std::error_code error;
  const auto beside =
      std::filesystem::read_symlink("/proc/self/exe", error).parent_path() / "kavro-flash";
  return !error && ::access(beside.c_str(), X_OK) == 0 ? beside.string() : "kavro-flash";
}

// Hands every step to the view, and every finished or removed module to the results log and
// the results database, before any view hears of it.
class Recorder final : public ShiftListener {
 public:
  Recorder(View& view, ResultsLog* log, results::ResultsStore* store, const ShiftInputs& inputs)
      : view_(view), log_(log), store_(store), inputs_(inputs) {}
  void module_found(const ModuleRecord& module) override { view_.module_found(module); }
  void module_started(const ModuleRecord& module) override { view_.module_started(module); }
  void module_finished(const ModuleRecord& module) override {
    append(result_record(module, inputs_));
    view_.module_finished(module);
  }
  void module_removed(const ModuleRecord& module, Clock::time_point removed) override {
    append(removed_record(module, inputs_.station, removed));
    view_.module_removed(module, removed);
  }
  void port_unhealthy(const Port& port) override { view_.port_unhealthy(port); }

 private:
  void append(const JsonObject& record) {
    const std::string line = json_line(record);
    if (log_ != nullptr && !log_->append(line)) {
      std::fprintf(stderr, "kavro-station: cannot write the results file: %s\n",
                   std::strerror(errno));
    }
    if (store_ != nullptr) {
      store_->keep(line);
    }
  }

  View& view_;
  ResultsLog* log_;
  results::ResultsStore* store_;
  const ShiftInputs& inputs_;
};

// Whether --once still takes new modules: within the settle time, and until the modules
// found have stayed the same for a moment.
bool once_still_looking(const StationOptions& options, const Shift& shift,
                        std::chrono::steady_clock::time_point began) {
  if (std::chrono::steady_clock::now() - began >= options.settle) {
    return false;
  }
  const auto last_found = shift.last_found();
  return !last_found || Clock::now() - *last_found < kOnceQuiet;
}

// Whether records are reaching the results database, into the shift's model.
void note_results_database(ShiftState& state, const results::ResultsStore* store) {
  const std::string words = store != nullptr ? store->status() : "";
  state.results_database.reset();
  if (!words.empty()) {
    state.results_database = ResultsDatabaseTrouble{!store->accepting(), words};
  }
}

// Rounds until the shift is over; false when the flasher stopped answering. A results database
// that can no longer take records ends the shift as a stop signal does: the running modules
// finish, no new one is taken.
bool run_shift(const StationOptions& options, ShiftState& state, Shift& shift, View& view,
               const RemoteModules* remotes, const results::ResultsStore* store) {
  const auto began = std::chrono::steady_clock::now();
  while (true) {
    if (stop_signals() >= 2) {
      return shift.stop_all();
    }
    if (stop_signals() == 1 && !state.stopping) {
      state.stopping = true;
      if (running(state) == 0) {
        return true;
      }
      view.stopping(state);
    }
    const bool take_new = !state.stopping && (store == nullptr || store->accepting()) &&
                          (!options.once || once_still_looking(options, shift, began));
    if (!shift.poll(take_new)) {
      return false;
    }
    if (!take_new && running(state) == 0) {
      return true;
    }
    if (remotes != nullptr) {
      state.unreachable_hosts = remotes->unreachable_hosts();
      state.remote_modules_without_port = remotes->modules_without_port();
    }
    note_results_database(state, store);
    view.refresh(state);
    pause_for(kRound);
  }
}

std::unique_ptr<ResultsLog> open_results_log(const std::string& path) {
  if (path.empty()) {
    return nullptr;
  }
  return std::make_unique<ResultsLog>(path);
}

std::unique_ptr<results::ResultsStore> open_results_store(const StationOptions& options) {
  if (options.database.empty()) {
    return nullptr;
  }
  return std::make_unique<results::ResultsStore>(results::StoreOptions{
      options.database, options.spool, options.station, !options.results_file.empty()});
}

int exit_status(const StationOptions& options, const ShiftState& state) {
  if (options.once && state.done + state.failed + state.wrong_platform == 0) {
    std::fprintf(stderr, "kavro-station: no module in hardware mode found\n");
    return kSomeFailed;
  }
  return state.failed == 0 && state.wrong_platform == 0 ? kAllSucceeded : kSomeFailed;
}

int run(const StationOptions& options) {
  const auto checked = check_inputs(options.firmware);
  if (const int* refused = std::get_if<int>(&checked)) {
    return *refused;
  }
  ShiftInputs inputs = read_inputs(options, std::get<FirmwareFacts>(checked));
  if (const auto refused = check_expected_digests(inputs, options.expected_sha256)) {
    return *refused;
  }
  const std::string program = flasher_program();
  inputs.flasher_version = flasher_version(program);
  std::unique_ptr<ResultsLog> log;
  std::unique_ptr<results::ResultsStore> store;
  std::unique_ptr<FlasherLink> link;
  std::unique_ptr<View> dashboard;
  std::signal(SIGPIPE, SIG_IGN);  // a flasher that ended is seen in the failed write
  install_signals();
  try {
    // Their threads (the dashboard's, the results spool's sender) start after the signals are
    // held back, and before any module is taken.
    if (options.http) {
      dashboard =
          make_dashboard(options.http->address, options.http->port, options.http_token_file);
    }
    log = open_results_log(options.results_file);
    store = open_results_store(options);
  } catch (const std::runtime_error& error) {
    std::fprintf(stderr, "kavro-station: %s\n", error.what());
    return kCannotStart;
  }
  try {
    link = std::make_unique<FlasherLink>(program, options.flasher_arguments);
  } catch (const std::runtime_error& error) {
    std::fprintf(stderr, "kavro-station: %s\n", error.what());
    return kFlasherLost;
  }
  // The flasher checks its command line again before it answers anything: a refusal ends it
  // with its message on standard error and its exit status, which become the station's.
  if (!link->request(CMD_LIST_DEVICES)) {
    const int status = link->wait_exit();
    return status != 0 ? status : kFlasherLost;
  }

  ShiftState state;
  state.station = inputs.station;
  state.firmware = firmware_shown(inputs);
  state.started = Clock::now();
  std::vector<std::unique_ptr<View>> views;
  views.push_back(isatty(STDOUT_FILENO) ? make_live_table(options.bell) : make_event_lines());
  if (dashboard) {
    views.push_back(std::move(dashboard));
  }
  const auto view = fan_out(std::move(views));
  view->begin(state);
  Recorder recorder(*view, log.get(), store.get(), inputs);
  // Started after the signals are held back, which its thread inherits.
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
  Shift shift(*link, state, recorder, remote_of);
  const bool answered =
      run_shift(options, state, shift, *view, remotes ? &*remotes : nullptr, store.get());
  const int flasher_status = link->quit();
  state.stopping = false;
  note_results_database(state, store.get());
  view->finish(state);
  const bool stored = store == nullptr || store->finish();
  if (!answered) {
    std::fprintf(stderr, "kavro-station: kavro-flash stopped answering (exit status %d)\n",
                 flasher_status);
    return kFlasherLost;
  }
  const int status = exit_status(options, state);
  return status == kAllSucceeded && !stored ? kSomeFailed : status;
}

}  // namespace

int main(int argc, char* argv[]) {
  auto parsed = station::parse_options(argc, argv);
  if (const int* exit_status = std::get_if<int>(&parsed)) {
    return *exit_status;
  }
  return run(std::get<station::StationOptions>(parsed));
}
