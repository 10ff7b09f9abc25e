#pragma once

// kavro-report's answers as tables, and the two ways they are printed: aligned text for a
// terminal and CSV for a spreadsheet. The HTML page shows the same tables.

#include <cstdio>
#include <string>
#include <vector>

#include "report/queries.h"

namespace report {

struct Table {
  std::string title;
  std::vector<std::string> headers;
  std::vector<std::vector<std::string>> rows;
};

// Done, failed, yield and modules per hour: of all records, by station, by firmware.
Table summary_table(const std::vector<GroupCounts>& groups);
// Failures by error pair, worst first, with their share and the running share.
Table failures_table(const std::vector<FailureCounts>& failures);
// Failures by port; a port whose failure rate is far above the rest's is flagged.
Table ports_table(const std::vector<PortCounts>& ports);
// Every column of every record.
Table history_table(const std::vector<results::Row>& records);
// The table without the columns that are empty in every row (a history for the eye: most keys
// are there only for some records).
Table without_empty_columns(const Table& table);

// Whether a port stands out: at least 3 of its modules failed, at more than twice the failure
// rate of all the other ports together, and so many failures at that rate would happen by
// chance to any of the `ports` less than once in a hundred reports (a binomial tail below
// 0.01 / ports), so that a port with few modules is not flagged for bad luck.
bool port_flagged(const PortCounts& port, int64_t all_records, int64_t all_failed, size_t ports);
// "-22 5", or "stopped" for a session without an error pair.
std::string error_pair(const FailureCounts& failure);
// A ratio as a percentage with one decimal, "97.5 %"; "-" for 0 of 0.
std::string percent(int64_t part, int64_t whole);

void print_text(const Table& table, std::FILE* out);
void print_csv(const Table& table, std::FILE* out);

}  // namespace report
