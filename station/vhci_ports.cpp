// The free ports of the vhci-hcd controllers.
#include "station/vhci_ports.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace station {
namespace {

constexpr std::string_view kHighSpeed = "hs";
constexpr int kFreePortStatus = 4;  // VDEV_ST_NULL: nothing attached

// The first controller's folder holds one status file per controller: "status" for itself,
// "status.1", "status.2", ... for the others.
bool is_status_file(const std::filesystem::path& path) {
  const std::string name = path.filename().string();
  return name == "status" || name.starts_with("status.");
}

}  // namespace

int free_high_speed_ports(std::string_view status_text) {
  std::istringstream lines{std::string(status_text)};
  int free_ports = 0;
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string hub;
    int port = -1;
    int status = -1;
    if (fields >> hub >> port >> status && hub == kHighSpeed && status == kFreePortStatus) {
      ++free_ports;
    }
  }
  return free_ports;
}

std::optional<int> free_vhci_ports() {
  std::error_code error;
  std::optional<int> free_ports;
  for (const auto& controller :
       std::filesystem::directory_iterator("/sys/devices/platform", error)) {
    if (!controller.path().filename().string().starts_with("vhci_hcd.")) {
      continue;
    }
    for (const auto& file : std::filesystem::directory_iterator(controller.path(), error)) {
      if (!is_status_file(file.path())) {
        continue;
      }
      std::ifstream input(file.path());
      const std::string text{std::istreambuf_iterator<char>(input),
                             std::istreambuf_iterator<char>()};
      free_ports = free_ports.value_or(0) + free_high_speed_ports(text);
    }
  }
  return free_ports;
}

std::string no_free_vhci_port_words(int modules) {
  return std::to_string(modules) + " remote module" + (modules == 1 ? "" : "s") +
         " not attached: no free vhci port (modprobe vhci-hcd nr_hcs=N)";
}

}  // namespace station
