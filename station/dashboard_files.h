#pragma once

// The dashboard's page, style and script, linked into the program at build time from
// station/dashboard/, so that the station serves nothing from the disk.

#include <optional>
#include <string_view>

namespace station {

struct DashboardFile {
  std::string_view content_type;
  std::string_view body;
};

// The file served at `path` ("/", "/dashboard.css", "/dashboard.js"); nothing for any other.
std::optional<DashboardFile> dashboard_file(std::string_view path);

}  // namespace station
