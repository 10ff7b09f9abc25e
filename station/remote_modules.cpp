// Remote modules through the usbip tools: listing, attaching and detaching what others export.
#include "station/remote_modules.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string_view>

#include "common/products.h"
#include "station/program_output.h"
#include "station/vhci_ports.h"

namespace station {
namespace {

constexpr auto kRound = std::chrono::milliseconds(500);
constexpr auto kListLimit = std::chrono::seconds(5);
constexpr auto kAttachLimit = std::chrono::seconds(10);
constexpr const char* kDefaultPort = "3240";

std::optional<std::string> run_usbip(const std::vector<std::string>& arguments,
                                     std::chrono::milliseconds limit) {
  return program_output("usbip", arguments, limit);
}

// An imported device in `usbip port`: its local bus id and where it comes from.
struct Imported {
  std::string vhci_port;
  std::string device_path;
  std::string host;
  std::string port;
  std::string bus_id;
};

std::string_view trimmed(std::string_view text) {
  const size_t first = text.find_first_not_of(" \t");
  return first == text.npos ? "" : text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// "      3-1 -> usbip://HOST:PORT/BUSID" of `usbip port`; false for any other line.
bool parse_source(std::string_view line, Imported& device) {
  constexpr std::string_view kArrow = " -> usbip://";
  const size_t arrow = line.find(kArrow);
  if (arrow == line.npos) {
    return false;
  }
  const std::string_view source = trimmed(line.substr(arrow + kArrow.size()));
  const size_t slash = source.rfind('/');
  const size_t colon = source.rfind(':', slash);
  if (slash == source.npos || colon == source.npos) {
    return false;
  }
  device.device_path = trimmed(line.substr(0, arrow));
  device.host = source.substr(0, colon);
  device.port = source.substr(colon + 1, slash - colon - 1);
  device.bus_id = source.substr(slash + 1);
  return true;
}

// The devices imported now: "Port 00: <Port in Use> at ..." followed by its source line.
std::vector<Imported> imported_devices() {
  const auto listing = run_usbip({"port"}, kListLimit);
  std::vector<Imported> devices;
  std::istringstream lines(listing.value_or(""));
  std::string vhci_port;
  Imported device;
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with("Port ")) {
      vhci_port = std::to_string(std::atoi(line.c_str() + 5));
    } else if (parse_source(line, device)) {
      device.vhci_port = vhci_port;
      devices.push_back(device);
    }
  }
  return devices;
}

// The bus ids of the Kavro modules a host offers ("1-1: <names> (4255:4250)"), or nothing
// when the host cannot be reached.
std::optional<std::vector<std::string>> offered_modules(const RemoteHost& remote) {
  const auto listing =
      run_usbip({"--tcp-port", remote.port, "list", "-r", remote.host}, kListLimit);
  if (!listing) {
    return std::nullopt;
  }
  char kavro_ids[8];
  std::snprintf(kavro_ids, sizeof kavro_ids, "%04x:", KAVRO_USB_VID);
  std::vector<std::string> bus_ids;
  std::istringstream lines(*listing);
  for (std::string text; std::getline(lines, text);) {
    const std::string_view line = trimmed(text);
    const size_t ids = line.rfind(" (");
    if (line.ends_with(")") && ids != line.npos && line.substr(ids + 2).starts_with(kavro_ids)) {
      bus_ids.emplace_back(line.substr(0, line.find(':')));
    }
  }
  return bus_ids;
}

bool comes_from(const Imported& device, const RemoteHost& remote) {
  return device.host == remote.host && device.port == remote.port;
}

void detach_host(const RemoteHost& remote) {
  for (const Imported& device : imported_devices()) {
    if (comes_from(device, remote)) {
      run_usbip({"detach", "-p", device.vhci_port}, kAttachLimit);
    }
  }
}

}  // namespace

bool parse_remote_host(const std::string& text, RemoteHost& remote) {
  const size_t colon = text.find(':');
  remote.host = text.substr(0, colon);
  remote.port = colon == text.npos ? kDefaultPort : text.substr(colon + 1);
  return !remote.host.empty() && !remote.port.empty() && remote.port.size() <= 5 &&
         remote.port.find_first_not_of("0123456789") == remote.port.npos;
}

std::vector<std::string> remote_import_problems() {
  std::vector<std::string> problems;
  if (!run_usbip({"version"}, kListLimit)) {
    problems.emplace_back("the usbip command cannot be run (Debian package usbip)");
  }
  if (!std::filesystem::exists("/sys/bus/platform/drivers/vhci_hcd")) {
    problems.emplace_back("vhci-hcd is not loaded (sudo modprobe vhci-hcd)");
  }
  if (::geteuid() != 0) {
    problems.emplace_back("attaching remote modules needs root");
  }
  return problems;
}

RemoteModules::RemoteModules(std::vector<RemoteHost> hosts)
    : hosts_(std::move(hosts)),
      worker_([this](std::stop_token stop) { keep_attached(std::move(stop)); }) {}

RemoteModules::~RemoteModules() {
  worker_.request_stop();
  worker_.join();
  detach_all();
}

std::string RemoteModules::remote_of(const std::string& device_path) {
  for (const Imported& device : imported_devices()) {
    if (device.device_path == device_path) {
      // The port only where it tells hosts apart, as with one SSH tunnel per bench.
      const std::string port = device.port == kDefaultPort ? "" : ":" + device.port;
      return device.host + port + " " + device.bus_id;
    }
  }
  return "";
}

void RemoteModules::keep_attached(std::stop_token stop) {
  std::unique_lock lock(mutex_);
  while (!stop.stop_requested()) {
    int without_port = 0;
    for (const RemoteHost& remote : hosts_) {
      without_port += attach_offered(remote);
    }
    modules_without_port_ = without_port;
    wake_.wait_for(lock, stop, kRound, [] { return false; });
  }
}

// Attaches what the host offers. A host that cannot be reached loses its imports at once, so
// that the sessions of its modules end with their transport error instead of waiting on a
// connection that no longer carries anything. With every vhci port taken, a module is not
// tried: usbip would import it from its host only to give it back, every round.
int RemoteModules::attach_offered(const RemoteHost& remote) {
  const auto offered = offered_modules(remote);
  note_reachable(remote, offered.has_value());
  if (!offered) {
    detach_host(remote);
    return 0;
  }
  const std::vector<Imported> imported = imported_devices();
  int without_port = 0;
  for (const std::string& bus_id : *offered) {
    // One imported already stays until its module re-enumerates (the jump) or leaves.
    if (std::ranges::any_of(imported, [&](const Imported& device) {
          return comes_from(device, remote) && device.bus_id == bus_id;
        })) {
      continue;
    }
    if (free_vhci_ports() == 0) {
      ++without_port;
      continue;
    }
    run_usbip({"--tcp-port", remote.port, "attach", "-r", remote.host, "-b", bus_id}, kAttachLimit);
  }
  return without_port;
}

void RemoteModules::note_reachable(const RemoteHost& remote, bool reachable) {
  std::lock_guard lock(hosts_mutex_);
  auto& since = unreachable_since_[remote.host + ":" + remote.port];
  if (reachable) {
    since.reset();
  } else if (!since) {
    since = std::chrono::system_clock::now();
  }
}

std::vector<UnreachableHost> RemoteModules::unreachable_hosts() const {
  std::lock_guard lock(hosts_mutex_);
  std::vector<UnreachableHost> hosts;
  for (const auto& [name, since] : unreachable_since_) {
    if (since) {
      hosts.push_back({name, *since});
    }
  }
  return hosts;
}

void RemoteModules::detach_all() {
  for (const RemoteHost& remote : hosts_) {
    detach_host(remote);
  }
}

}  // namespace station
