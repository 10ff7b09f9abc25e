#pragma once

// The record of a finished module, as the results log writes it and as any other store of
// results keeps it: one JSON object with the same keys every time (null where a key does not
// apply). A module taken out later gets a second, smaller record keyed by the same `started`
// and `device_path`, so that a log stays append-only.

#include <json-c/json.h>

#include <string>

#include "common/c_handle.h"
#include "station/module_record.h"
#include "station/shift_inputs.h"

namespace station {

using JsonObject = CHandle<json_object, json_object_put>;

// Every key of a finished module's record: when and where, what it received, how it ended.
JsonObject result_record(const ModuleRecord& module, const ShiftInputs& inputs);
// {"event":"removed","started":...,"device_path":...,"station":...,"removed":...}
JsonObject removed_record(const ModuleRecord& module, const std::string& station,
                          std::chrono::system_clock::time_point removed);
// A record as one line of JSON, without its line ending.
std::string json_line(const JsonObject& record);
// "ok", "failed" or "wrong_platform": the record's `result` (a running module has none yet).
const char* result_word(Outcome outcome);
// A time as UTC ISO 8601 with milliseconds, e.g. "2026-12-07T02:10:00.123Z".
std::string utc_iso8601(std::chrono::system_clock::time_point time);

}  // namespace station
