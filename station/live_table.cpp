// The terminal view: a table with a row per module seen and a summary line, redrawn in place.
// Only the newest rows that fit the terminal are shown; running sessions are always among them
// because rows are kept in the order the modules were found.
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "station/view.h"

namespace station {
namespace {

constexpr const char* kGreen = "\x1b[32m";
constexpr const char* kRed = "\x1b[31m";
constexpr const char* kYellow = "\x1b[33m";
constexpr const char* kBold = "\x1b[1m";
constexpr const char* kReset = "\x1b[0m";
constexpr const char* kClearToEnd = "\x1b[K";
constexpr int kDefaultRows = 24;
constexpr int kOtherLines = 3;  // header, summary, and the line the cursor rests on

int terminal_rows() {
  winsize size{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_row == 0) {
    return kDefaultRows;
  }
  return size.ws_row;
}

class LiveTable final : public View {
 public:
  void module_found(const ModuleRecord&) override {}
  void module_started(const ModuleRecord&) override {}
  void module_finished(const ModuleRecord&) override {}
  void stopping(int) override {}

  void refresh(const std::vector<ModuleRecord>& records, const Summary& summary) override {
    if (drawn_ > 0) {
      std::printf("\x1b[%dA\r", drawn_);  // back to the top of the table
    }
    drawn_ = 0;
    put(std::string(kBold) + "PORT          PLATFORM  STATE                  %   TIME  RESULT" +
        kReset);
    const int host_lines = static_cast<int>(summary.unreachable_hosts.size()) +
                           (summary.results_status.empty() ? 0 : 1);
    const size_t room =
        static_cast<size_t>(std::max(1, terminal_rows() - kOtherLines - host_lines));
    const size_t first = records.size() > room ? records.size() - room : 0;
    for (size_t row = first; row < records.size(); ++row) {
      put(row_text(records[row]));
    }
    put(summary_line(summary));
    for (const UnreachableHost& host : summary.unreachable_hosts) {
      put(unreachable_text(host));
    }
    if (!summary.results_status.empty()) {
      put(kRed + summary.results_status + kReset);
    }
    std::printf("\x1b[J");  // rows of a taller earlier drawing
    std::fflush(stdout);
  }

  void finish(const std::vector<ModuleRecord>& records, const Summary& summary) override {
    refresh(records, summary);
  }

 private:
  void put(const std::string& line) {
    std::printf("%s%s\n", line.c_str(), kClearToEnd);
    ++drawn_;
  }

  static std::string row_text(const ModuleRecord& record) {
    const int seconds = static_cast<int>(elapsed(record).count());
    const char* colour = record.outcome == Outcome::Ok       ? kGreen
                         : record.outcome == Outcome::Failed ? kRed
                                                             : kYellow;
    // The error pair only: a wrapped row would throw the redrawing off; the texts are logged.
    const std::string result = record.outcome == Outcome::Ok        ? "ok"
                               : record.outcome == Outcome::Running ? ""
                               : record.stopped                     ? "stopped"
                                                : "failed " + std::to_string(record.error) + " " +
                                                      std::to_string(record.sub_error);
    char text[512];
    std::snprintf(text, sizeof text, "%-13s %-9s %s%-20s%s %3d%% %02d:%02d  %s%s%s%s",
                  record.device_path.c_str(), record.platform.c_str(), colour,
                  state_words(record.state), kReset, record.percent, seconds / 60, seconds % 60,
                  colour, result.c_str(), kReset, remote_words(record).c_str());
    return text;
  }

  static std::string unreachable_text(const UnreachableHost& host) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                             std::chrono::system_clock::now() - host.since)
                             .count();
    char text[256];
    std::snprintf(text, sizeof text, "%sremote host %s unreachable for %02d:%02d%s", kRed,
                  host.name.c_str(), static_cast<int>(seconds / 60), static_cast<int>(seconds % 60),
                  kReset);
    return text;
  }

  int drawn_ = 0;
};

}  // namespace

std::unique_ptr<View> make_live_table() {
  return std::make_unique<LiveTable>();
}

}  // namespace station
