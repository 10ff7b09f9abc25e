#pragma once
// The ports of the vhci-hcd controllers that remote modules are attached to: how many are free,
// and what the operator is told when none is.

#include <optional>
#include <string>
#include <string_view>

namespace station {

// Each vhci-hcd controller has 8 high-speed ports (and 8 super-speed ones, which a USB 2.0
// module does not use); the kernel module's parameter nr_hcs sets the number of controllers.
inline constexpr int VHCI_PORTS_PER_CONTROLLER = 8;

// The free high-speed ports in the text of a controller's status file, one line per port after
// a header: "hs  0003 004 000 00000000 000000 0-0", a status of 4 meaning free.
int free_high_speed_ports(std::string_view status_text);

// The free high-speed ports of every controller on this machine, from
// /sys/devices/platform/vhci_hcd.*/status*; nothing when there is no status file to read.
std::optional<int> free_vhci_ports();

// "2 remote modules not attached: no free vhci port (modprobe vhci-hcd nr_hcs=N)".
std::string no_free_vhci_port_words(int modules);

}  // namespace station
