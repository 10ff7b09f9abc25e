// The dashboard's files by the path they are served at.
#include "station/dashboard_files.h"

#include <array>

extern "C" {
extern const char dashboard_page_start[], dashboard_page_end[];
extern const char dashboard_style_start[], dashboard_style_end[];
extern const char dashboard_script_start[], dashboard_script_end[];
}

namespace station {

std::optional<DashboardFile> dashboard_file(std::string_view path) {
  struct Served {
    std::string_view path;
    DashboardFile file;
  };
  static const std::array<Served, 3> kFiles{{
      {"/",
       {"text/html; charset=utf-8",
        {dashboard_page_start, static_cast<size_t>(dashboard_page_end - dashboard_page_start)}}},
      {"/dashboard.css",
       {"text/css; charset=utf-8",
        {dashboard_style_start, static_cast<size_t>(dashboard_style_end - dashboard_style_start)}}},
      {"/dashboard.js",
       {"text/javascript; charset=utf-8",
        {dashboard_script_start,
         static_cast<size_t>(dashboard_script_end - dashboard_script_start)}}},
  }};
  for (const Served& served : kFiles) {
    if (served.path == path) {
      return served.file;
    }
  }
  return std::nullopt;
}

}  // namespace station
