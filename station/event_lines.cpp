// The plain view: one line per event, flushed at once, for logs and pipes. The first line names
// the station and the firmware, as the grid's header does.
#include <cstdio>
#include <optional>
#include <set>

#include "station/module_words.h"
#include "station/result_record.h"
#include "station/vhci_ports.h"
#include "station/view.h"

namespace station {
namespace {

class EventLines final : public View {
 public:
  void begin(const ShiftState& state) override {
    const FirmwareShown& firmware = state.firmware;
    std::string words = "kavro-station " + state.station + " started: firmware " +
                        (firmware.platform.empty() ? "?" : firmware.platform);
    if (!firmware.version.empty()) {
      words += " " + firmware.version;
    }
    words += ", " + (firmware.archive_name.empty() ? "built in" : firmware.archive_name);
    if (!firmware.sha256.empty()) {
      words += ", sha256 " + firmware.sha256;
    }
    print(state.started, words);
  }
  void module_found(const ModuleRecord& module) override {
    line(module, "found: " + module.platform + " module in slot " + std::to_string(module.slot));
  }
  void module_started(const ModuleRecord& module) override { line(module, "started"); }
  void module_finished(const ModuleRecord& module) override {
    char took[32];
    std::snprintf(took, sizeof took, "%.1f s", elapsed(module, module.finished).count());
    switch (module.outcome) {
      case Outcome::Ok:
        line(module, std::string("done in ") + took);
        return;
      case Outcome::WrongPlatform:
        line(module, wrong_platform_words(module));
        return;
      default:
        line(module, std::string("failed after ") + took + ": " + failure_words(module));
    }
  }
  void module_removed(const ModuleRecord& module, Clock::time_point removed) override {
    print(removed, module.device_path + remote_words(module) + " removed");
  }
  void port_unhealthy(const Port& port) override { line(*port.module, port_warning_words()); }
  void refresh(const ShiftState& state) override {
    note_remote_hosts(state.unreachable_hosts);
    note_modules_without_port(state.remote_modules_without_port);
    note_results_database(state.results_database);
  }
  void stopping(const ShiftState& state) override {
    print(Clock::now(), stopping_words(state) + "; signal again to stop them");
  }
  void finish(const ShiftState& state) override {
    note_results_database(state.results_database);
    std::printf("%s\n", summary_words(state, Clock::now()).c_str());
    std::fflush(stdout);
  }

 private:
  // A line when a remote host becomes unreachable, and one when it answers again.
  void note_remote_hosts(const std::vector<UnreachableHost>& hosts) {
    std::set<std::string> unreachable;
    for (const UnreachableHost& host : hosts) {
      unreachable.insert(host.name);
      if (!reported_.contains(host.name)) {
        print(host.since, "remote host " + host.name + " unreachable");
      }
    }
    for (const std::string& name : reported_) {
      if (!unreachable.contains(name)) {
        print(Clock::now(), "remote host " + name + " reachable again");
      }
    }
    reported_ = std::move(unreachable);
  }

  // A line each time the number of remote modules left without a vhci port changes to one
  // that is not 0.
  void note_modules_without_port(int modules) {
    if (modules > 0 && modules != reported_without_port_) {
      print(Clock::now(), no_free_vhci_port_words(modules));
    }
    reported_without_port_ = modules;
  }

  // A line when records stop reaching the results database, or it becomes unwritable, and one
  // when the results server answers again.
  void note_results_database(const std::optional<ResultsDatabaseTrouble>& trouble) {
    const bool same = trouble.has_value() == reported_trouble_.has_value() &&
                      (!trouble || trouble->unwritable == reported_trouble_->unwritable);
    if (!same) {
      print(Clock::now(), trouble ? trouble->words : "results server reachable again");
    }
    reported_trouble_ = trouble;
  }

  static void line(const ModuleRecord& module, const std::string& what) {
    print(Clock::now(), module.device_path + remote_words(module) + " " + what);
  }

  static void print(Clock::time_point time, const std::string& what) {
    std::printf("%s %s\n", utc_iso8601(time).c_str(), what.c_str());
    std::fflush(stdout);
  }

  std::set<std::string> reported_;  // the remote hosts last reported unreachable
  int reported_without_port_ = 0;
  std::optional<ResultsDatabaseTrouble> reported_trouble_;  // the results database's, last reported
};

}  // namespace

std::unique_ptr<View> make_event_lines() {
  return std::make_unique<EventLines>();
}

}  // namespace station
