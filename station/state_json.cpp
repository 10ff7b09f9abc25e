// The shift's model as one JSON object.
#include "station/state_json.h"

#include <cstdio>
#include <cstdlib>

#include "station/grid.h"
#include "station/module_words.h"

namespace station {
namespace {

// Figures carry one decimal, as the grid shows them.
json_object* one_decimal(std::optional<double> value) {
  if (!value) {
    return nullptr;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", *value);
  return json_object_new_double_s(std::atof(text), text);
}

json_object* text_or_null(const std::string& text) {
  return text.empty() ? nullptr : json_object_new_string(text.c_str());
}

void add(json_object* object, const char* key, json_object* value) {
  json_object_object_add(object, key, value);
}

json_object* firmware_json(const FirmwareShown& firmware) {
  json_object* object = json_object_new_object();
  add(object, "platform", text_or_null(firmware.platform));
  add(object, "version", text_or_null(firmware.version));
  add(object, "archive_name", text_or_null(firmware.archive_name));
  add(object, "sha256", text_or_null(firmware.sha256));
  return object;
}

json_object* results_database_json(const std::optional<ResultsDatabaseTrouble>& trouble) {
  if (!trouble) {
    return nullptr;
  }
  json_object* object = json_object_new_object();
  add(object, "unwritable", json_object_new_boolean(trouble->unwritable ? 1 : 0));
  add(object, "words", json_object_new_string(trouble->words.c_str()));
  return object;
}

json_object* shift_json(const ShiftState& state) {
  json_object* object = json_object_new_object();
  add(object, "station", json_object_new_string(state.station.c_str()));
  add(object, "started", json_object_new_string(utc_iso8601(state.started).c_str()));
  add(object, "firmware", firmware_json(state.firmware));
  add(object, "stopping", state.stopping ? text_or_null(stopping_words(state)) : nullptr);
  json_object* hosts = json_object_new_array();
  for (const UnreachableHost& host : state.unreachable_hosts) {
    json_object* entry = json_object_new_object();
    add(entry, "host", json_object_new_string(host.name.c_str()));
    add(entry, "since", json_object_new_string(utc_iso8601(host.since).c_str()));
    json_object_array_add(hosts, entry);
  }
  add(object, "unreachable_hosts", hosts);
  add(object, "results_database", results_database_json(state.results_database));
  return object;
}

const char* port_state(const Port& port) {
  if (!port.module) {
    return "empty";
  }
  return port.module->outcome == Outcome::Running ? "running" : result_word(port.module->outcome);
}

// What the person at the bench does next; nothing while the module is flashed or the port
// is empty.
std::string advice(const ModuleRecord& module) {
  switch (module.outcome) {
    case Outcome::Ok:
    case Outcome::WrongPlatform:
      return "take it out";
    case Outcome::Failed:
      return what_to_do(module);
    case Outcome::Running:
      break;
  }
  return "";
}

json_object* port_json(const Port& port, Clock::time_point now) {
  const PortRow row = port_row(port, now);
  const ModuleRecord* module = port.module ? &*port.module : nullptr;
  const bool running = module != nullptr && module->outcome == Outcome::Running;
  json_object* object = json_object_new_object();
  add(object, "id", json_object_new_string(port_id(port).c_str()));
  add(object, "device_path", json_object_new_string(port.device_path.c_str()));
  add(object, "remote", text_or_null(port.remote));
  add(object, "state", json_object_new_string(port_state(port)));
  add(object, "words", json_object_new_string(row.text.c_str()));
  add(object, "platform", module != nullptr ? text_or_null(module->platform) : nullptr);
  add(object, "percent", running ? json_object_new_int(module->percent) : nullptr);
  add(object, "time", text_or_null(row.time));
  // Whole seconds, as the time shown: a running port changes once a second, not every round.
  add(object, "elapsed_s",
      module != nullptr ? json_object_new_int(static_cast<int>(elapsed(*module, now).count()))
                        : nullptr);
  add(object, "advice", module != nullptr ? text_or_null(advice(*module)) : nullptr);
  add(object, "error",
      module != nullptr && module->outcome == Outcome::Failed
          ? json_object_new_string(failure_words(*module).c_str())
          : nullptr);
  add(object, "warning",
      port.failures_in_a_row >= kFailuresBeforeWarning
          ? json_object_new_string(port_warning_words().c_str())
          : nullptr);
  return object;
}

json_object* summary_json(const ShiftState& state, Clock::time_point now) {
  json_object* object = json_object_new_object();
  add(object, "done", json_object_new_int(state.done));
  add(object, "failed", json_object_new_int(state.failed));
  add(object, "wrong_platform", json_object_new_int(state.wrong_platform));
  add(object, "yield_percent", one_decimal(yield_percent(state)));
  add(object, "running", json_object_new_int(running(state)));
  add(object, "modules_per_hour", one_decimal(modules_per_hour(state, now)));
  add(object, "words", json_object_new_string(summary_words(state, now).c_str()));
  return object;
}

// A bar for each stretch of the last kChartBars up to `now`, empty ones included.
json_object* chart_json(const ShiftState& state, Clock::time_point now) {
  const long last = (now - state.started) / kChartBar;
  const long first = std::max(0L, last - static_cast<long>(kChartBars) + 1);
  json_object* bars = json_object_new_array();
  auto kept = state.history.bars.begin();
  for (long index = first; index <= last; ++index) {
    while (kept != state.history.bars.end() && kept->index < index) {
      ++kept;
    }
    const bool has = kept != state.history.bars.end() && kept->index == index;
    const int done = has ? kept->done : 0;
    const int failed = has ? kept->failed : 0;
    json_object* bar = json_object_new_object();
    add(bar, "start",
        json_object_new_string(utc_iso8601(state.started + index * kChartBar).c_str()));
    add(bar, "done", json_object_new_int(done));
    add(bar, "failed", json_object_new_int(failed));
    add(bar, "yield_percent", one_decimal(yield_percent(done, failed)));
    json_object_array_add(bars, bar);
  }
  json_object* object = json_object_new_object();
  add(object, "minutes_per_bar",
      json_object_new_int(std::chrono::duration_cast<std::chrono::minutes>(kChartBar).count()));
  add(object, "bars", bars);
  return object;
}

json_object* finished_json(const ModuleRecord& module) {
  json_object* object = json_object_new_object();
  add(object, "device_path", json_object_new_string(module.device_path.c_str()));
  add(object, "remote", text_or_null(module.remote));
  add(object, "platform", text_or_null(module.platform));
  add(object, "result", json_object_new_string(result_word(module.outcome)));
  add(object, "started", json_object_new_string(utc_iso8601(module.started).c_str()));
  add(object, "finished", json_object_new_string(utc_iso8601(module.finished).c_str()));
  add(object, "duration_s", one_decimal(elapsed(module, module.finished).count()));
  add(object, "error",
      module.outcome == Outcome::Failed ? json_object_new_string(failure_words(module).c_str())
                                        : nullptr);
  add(object, "advice", text_or_null(advice(module)));
  return object;
}

}  // namespace

std::string port_id(const Port& port) {
  return port.remote.empty() ? port.device_path : port.remote;
}

JsonObject state_json(const ShiftState& state, Clock::time_point now) {
  JsonObject whole(json_object_new_object());
  add(whole.get(), "shift", shift_json(state));
  json_object* ports = json_object_new_array();
  for (const Port& port : state.ports) {
    json_object_array_add(ports, port_json(port, now));
  }
  add(whole.get(), "ports", ports);
  add(whole.get(), "summary", summary_json(state, now));
  add(whole.get(), "chart", chart_json(state, now));
  json_object* recent = json_object_new_array();
  for (const ModuleRecord& module : state.history.recent) {
    json_object_array_add(recent, finished_json(module));
  }
  add(whole.get(), "recent", recent);
  return whole;
}

}  // namespace station
