// The free high-speed ports read from the status files of vhci-hcd controllers.
#include "station/vhci_ports.h"

#include <gtest/gtest.h>

namespace {

constexpr const char* kHeader = "hub port sta spd dev      sockfd local_busid\n";

TEST(VhciPorts, FreeHighSpeedPortsOfAStatusFile) {
  const std::pair<std::string, int> cases[] = {
      {"", 0},
      {kHeader, 0},
      // A port in use (6) and a free super-speed port count for nothing.
      {std::string(kHeader) + "hs  0000 006 002 00010002 000005 3-1\n" +
           "hs  0001 004 000 00000000 000000 0-0\nss  0008 004 000 00000000 000000 0-0\n",
       1},
  };
  for (const auto& [text, free_ports] : cases) {
    EXPECT_EQ(station::free_high_speed_ports(text), free_ports) << text;
  }
}

}  // namespace
