#pragma once
// Modules plugged into other machines, imported over USB/IP so that the flasher sees them as
// local USB devices. The exporting machines offer their Kavro modules through usbipd; the
// station attaches every one they offer, and attaches it again after the jump, when the module
// re-enumerates and the exporting side offers it anew. A background thread does this, because
// a host that went away can keep the tools waiting for seconds.

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "station/shift_state.h"

namespace station {

struct RemoteHost {
  std::string host;
  std::string port;  // usbipd's TCP port
};

// "HOST" or "HOST:PORT" (port 3240 when none); false for a malformed one.
bool parse_remote_host(const std::string& text, RemoteHost& remote);

// Why this machine cannot import remote modules at all (no usbip command, vhci-hcd not loaded,
// not root), one reason per entry; empty when it can.
std::vector<std::string> remote_import_problems();

class RemoteModules {
 public:
  explicit RemoteModules(std::vector<RemoteHost> hosts);
  ~RemoteModules();  // stops attaching and detaches every module of the hosts
  RemoteModules(const RemoteModules&) = delete;
  RemoteModules& operator=(const RemoteModules&) = delete;

  // "HOST BUSID" ("HOST:PORT BUSID" off port 3240) of the remote module at the local device path,
  // or "" for a local one.
  static std::string remote_of(const std::string& device_path);

  // The hosts whose exports could not be listed at the last try.
  std::vector<UnreachableHost> unreachable_hosts() const;
  // The modules offered at the last try that wait for a free vhci port to be attached.
  int modules_without_port() const { return modules_without_port_.load(); }

 private:
  void keep_attached(std::stop_token stop);
  // The modules offered by `remote` that found no free vhci port.
  int attach_offered(const RemoteHost& remote);
  void note_reachable(const RemoteHost& remote, bool reachable);
  void detach_all();

  std::vector<RemoteHost> hosts_;
  // By "HOST:PORT": since when the host could not be reached, or nothing when it answered.
  std::map<std::string, std::optional<std::chrono::system_clock::time_point>> unreachable_since_;
  mutable std::mutex hosts_mutex_;  // for unreachable_since_, read by the view's thread
  std::mutex mutex_;  // for the pause between two rounds, which a stop request cuts short
  std::condition_variable_any wake_;
  std::atomic<int> modules_without_port_{0};
  std::jthread worker_;
};

}  // namespace station
