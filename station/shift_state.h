#pragma once
// The shift as one model that every view reads (the terminal grid, the event lines, and any
// later view): the station and its firmware, one entry per port in a stable order, the module
// on each port and the port's history, and the shift's counts. It is a plain value: the shift
// updates it between two rounds, and a view that runs elsewhere works on a copy.

#include <chrono>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "station/module_record.h"
#include "station/shift_history.h"

namespace station {

using Clock = std::chrono::system_clock;

// Modules per hour is counted over the modules done in this last stretch of the shift.
inline constexpr auto kRateWindow = std::chrono::minutes(15);
// A port whose last this many modules all failed is suspect rather than the modules.
inline constexpr int kFailuresBeforeWarning = 3;

// The firmware every module of the shift receives, as the header names it.
struct FirmwareShown {
  std::string platform;      // the archive's platform, e.g. "cv22"
  std::string version;       // the manifest's firmware_version
  std::string archive_name;  // the file name of the OTA archive (else the base archive)
  std::string sha256;        // its SHA-256 in hex
};

// One place a module is plugged into: a local USB port, or a bus id on a remote host.
struct Port {
  std::string device_path;  // the local device path the last module had
  std::string remote;       // "HOST BUSID" on a remote host; "" for a local port
  // The module plugged in now, from the moment it was found until it was taken out.
  std::optional<ModuleRecord> module;
  // The last module taken out, shown dimmed while the port is empty.
  std::optional<ModuleRecord> last;
  int failures_in_a_row = 0;  // failed modules since the last one done here
};

// A remote host (USB/IP) whose exports could not be listed at the last try.
struct UnreachableHost {
  std::string name;  // "HOST:PORT"
  Clock::time_point since;
};

// Records of finished modules that are not reaching the results database (--db).
struct ResultsDatabaseTrouble {
  bool unwritable = false;  // a record could not be stored: no new modules are taken
  // What every view shows, e.g. "results server unreachable since 14:02, 12 records waiting".
  std::string words;
};

struct ShiftState {
  std::string station;  // --station, else the host name
  FirmwareShown firmware;
  Clock::time_point started;
  std::vector<Port> ports;  // ordered by port (see port_for), never removed during the shift
  int done = 0;
  int failed = 0;
  int wrong_platform = 0;
  std::deque<Clock::time_point> done_times;  // when the modules of the last kRateWindow finished
  bool stopping = false;                     // the first stop signal came: no new modules taken
  std::vector<UnreachableHost> unreachable_hosts;
  int remote_modules_without_port = 0;                     // offered, but every vhci port is taken
  std::optional<ResultsDatabaseTrouble> results_database;  // nothing while records reach it
  ShiftHistory history;
};

// The port a module at `device_path` (imported from `remote`, or "" when local) is plugged into,
// added in its place when it is new. Local ports come first, in bus and port-chain order
// ("1-4.2" before "1-4.10"), then remote ones by host and bus id.
Port& port_for(ShiftState& state, const std::string& device_path, const std::string& remote);
// Counts the finished module on `port` into the shift and the port's history. True when it
// made the port reach kFailuresBeforeWarning failures in a row.
bool count_finished(ShiftState& state, Port& port);
// The port's module was taken out: it becomes the port's last result.
void take_out(Port& port);

// Sessions running now.
int running(const ShiftState& state);
// Done / (done + failed) in %; nothing before the first module finished.
std::optional<double> yield_percent(const ShiftState& state);
// The modules done over the last kRateWindow (or the shift so far, when shorter) per hour;
// nothing before the first module is done.
std::optional<double> modules_per_hour(const ShiftState& state, Clock::time_point now);

}  // namespace station
