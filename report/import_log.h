#pragma once

// kavro-report import: a results log (JSON Lines) into the database, so that the shifts from
// before the database are not lost. Each record is stored once however often it is imported.

#include <cstdint>
#include <string>

#include "station/results/database.h"

namespace report {

struct ImportCounts {
  int64_t stored = 0;     // records added, and removal times set
  int64_t unchanged = 0;  // lines whose record was there already
  int64_t bad = 0;        // lines that are not records (each named on standard error)
};

// Imports `path` into a database whose schema is prepared; records that name no station are
// `station`'s. Throws DatabaseError, and std::runtime_error for a file that cannot be read.
ImportCounts import_log(results::Database& db, const std::string& path, const std::string& station);

}  // namespace report
