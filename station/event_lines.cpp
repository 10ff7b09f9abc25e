// The plain view: one line per event, flushed at once, for logs and pipes.
#include <cstdio>
#include <set>

#include "station/error_texts.h"
#include "station/results_log.h"
#include "station/view.h"

namespace station {
namespace {

class EventLines final : public View {
 public:
  void module_found(const ModuleRecord& record) override {
    line(record, "found: " + record.platform + " module in slot " + std::to_string(record.slot));
  }
  void module_started(const ModuleRecord& record) override { line(record, "started"); }
  void module_finished(const ModuleRecord& record) override {
    char took[32];
    std::snprintf(took, sizeof took, "%.1f s", elapsed(record).count());
    line(record, record.outcome == Outcome::Ok
                     ? std::string("done in ") + took
                     : std::string("failed after ") + took + ": " + failure_words(record));
  }
  void refresh(const std::vector<ModuleRecord>&, const Summary& summary) override {
    note_remote_hosts(summary.unreachable_hosts);
    note_results_status(summary.results_status);
  }
  void stopping(int running) override {
    std::printf("%s stopping: no new modules, waiting for %d running (signal again to stop them)\n",
                utc_iso8601(std::chrono::system_clock::now()).c_str(), running);
    std::fflush(stdout);
  }
  void finish(const std::vector<ModuleRecord>&, const Summary& summary) override {
    std::printf("%s\n", summary_line(summary).c_str());
    std::fflush(stdout);
  }

 private:
  // A line when a remote host becomes unreachable, and one when it answers again.
  void note_remote_hosts(const std::vector<UnreachableHost>& hosts) {
    std::set<std::string> unreachable;
    for (const UnreachableHost& host : hosts) {
      unreachable.insert(host.name);
      if (!reported_.contains(host.name)) {
        std::printf("%s remote host %s unreachable\n", utc_iso8601(host.since).c_str(),
                    host.name.c_str());
      }
    }
    for (const std::string& name : reported_) {
      if (!unreachable.contains(name)) {
        std::printf("%s remote host %s reachable again\n",
                    utc_iso8601(std::chrono::system_clock::now()).c_str(), name.c_str());
      }
    }
    std::fflush(stdout);
    reported_ = std::move(unreachable);
  }

  // A line when records stop reaching the results database, and one when they reach it again.
  void note_results_status(const std::string& status) {
    if (status.empty() != results_status_.empty()) {
      std::printf("%s %s\n", utc_iso8601(std::chrono::system_clock::now()).c_str(),
                  status.empty() ? "results server reachable again" : status.c_str());
      std::fflush(stdout);
    }
    results_status_ = status;
  }

  static void line(const ModuleRecord& record, const std::string& what) {
    std::printf("%s %s%s %s\n", utc_iso8601(std::chrono::system_clock::now()).c_str(),
                record.device_path.c_str(), remote_words(record).c_str(), what.c_str());
    std::fflush(stdout);
  }

  std::set<std::string> reported_;  // the remote hosts last reported unreachable
  std::string results_status_;      // the results database's status last reported
};

}  // namespace

std::unique_ptr<View> make_event_lines() {
  return std::make_unique<EventLines>();
}

std::string summary_line(const Summary& summary) {
  char text[160];
  std::snprintf(text, sizeof text, "done %d, failed %d, running %d, %.1f modules per hour%s",
                summary.done, summary.failed, summary.running, summary.modules_per_hour,
                summary.stopping ? ", stopping" : "");
  return text;
}

std::string remote_words(const ModuleRecord& record) {
  return record.remote.empty() ? "" : " (" + record.remote + ")";
}

std::string failure_words(const ModuleRecord& record) {
  if (record.stopped) {
    return "stopped";
  }
  std::string words =
      "error " + std::to_string(record.error) + " " + std::to_string(record.sub_error);
  for (const std::string& text :
       {error_text(record.error), sub_error_text(record.error, record.sub_error)}) {
    if (!text.empty()) {
      words += ": " + text;
    }
  }
  return words;
}

}  // namespace station
