#pragma once

// kavro-report's HTML page: one self-contained file (inline style and SVG, no script, nothing
// fetched) with the tables, the yield and modules-per-hour chart by hour, and the failure
// Pareto chart. It is well-formed XML, so that any XML parser can check it.

#include <string>
#include <vector>

#include "report/queries.h"
#include "report/tables.h"

namespace report {

struct PageContents {
  std::string heading;  // what was asked: filters and the time it was made
  std::vector<Table> tables;
  std::vector<HourCounts> hours;        // empty: no hourly chart
  std::vector<FailureCounts> failures;  // empty: no Pareto chart
};

std::string html_page(const PageContents& contents);

}  // namespace report
