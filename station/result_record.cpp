// Building the records of finished and removed modules.
#include "station/result_record.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "station/error_texts.h"

namespace station {
namespace {

void add_text(json_object* object, const char* key, const std::string& text) {
  json_object_object_add(object, key,
                         text.empty() ? nullptr : json_object_new_string(text.c_str()));
}

void add_int(json_object* object, const char* key, int value) {
  json_object_object_add(object, key, json_object_new_int(value));
}

void add_bool(json_object* object, const char* key, bool value) {
  json_object_object_add(object, key, json_object_new_boolean(value ? 1 : 0));
}

// The error pair and its texts of a session that failed on its own; null otherwise (done, a
// wrong platform never flashed, a session the operator stopped).
void add_failure(json_object* object, const ModuleRecord& module) {
  const bool failed = module.outcome == Outcome::Failed && !module.stopped;
  for (const char* key : {"error", "sub_error", "error_text", "sub_error_text"}) {
    json_object_object_add(object, key, nullptr);
  }
  if (failed) {
    add_int(object, "error", module.error);
    add_int(object, "sub_error", module.sub_error);
    add_text(object, "error_text", error_text(module.error));
    add_text(object, "sub_error_text", sub_error_text(module.error, module.sub_error));
  }
  add_bool(object, "stopped", module.stopped);
}

void add_file(json_object* object, const char* path_key, const char* digest_key,
              const InputFile& file) {
  add_text(object, path_key, file.path);
  add_text(object, digest_key, file.sha256);
}

}  // namespace

const char* result_word(Outcome outcome) {
  switch (outcome) {
    case Outcome::Ok:
      return "ok";
    case Outcome::WrongPlatform:
      return "wrong_platform";
    default:
      return "failed";
  }
}

std::string utc_iso8601(std::chrono::system_clock::time_point time) {
  const auto since_epoch = time.time_since_epoch();
  const std::time_t seconds = std::chrono::duration_cast<std::chrono::seconds>(since_epoch).count();
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(since_epoch).count() % 1000;
  std::tm parts{};
  gmtime_r(&seconds, &parts);
  char text[40];
  const size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
  std::snprintf(text + length, sizeof text - length, ".%03dZ", static_cast<int>(millis));
  return text;
}

JsonObject result_record(const ModuleRecord& module, const ShiftInputs& inputs) {
  JsonObject record(json_object_new_object());
  json_object* object = record.get();
  add_text(object, "started", utc_iso8601(module.started));
  add_text(object, "finished", utc_iso8601(module.finished));
  char duration[32];
  std::snprintf(duration, sizeof duration, "%.3f", elapsed(module, module.finished).count());
  json_object_object_add(object, "duration_s",
                         json_object_new_double_s(std::atof(duration), duration));
  add_text(object, "station", inputs.station);
  add_text(object, "operator", inputs.operator_name);
  add_text(object, "device_path", module.device_path);
  add_text(object, "remote", module.remote);
  add_text(object, "usb_serial", module.usb_serial);
  add_int(object, "device_id", module.slot);
  add_text(object, "platform", module.platform);
  add_text(object, "firmware_version", inputs.firmware_version);
  add_text(object, "flasher_version", inputs.flasher_version);
  add_file(object, "ota_archive", "ota_archive_sha256", inputs.ota);
  add_file(object, "base_archive", "base_archive_sha256", inputs.base);
  add_file(object, "settings_file", "settings_sha256", inputs.settings);
  add_file(object, "ads_file", "ads_sha256", inputs.ads);
  add_bool(object, "secure_boot", inputs.secure_boot);
  add_text(object, "public_key_sha256", inputs.public_key.sha256);
  add_text(object, "result", result_word(module.outcome));
  add_failure(object, module);
  return record;
}

JsonObject removed_record(const ModuleRecord& module, const std::string& station,
                          std::chrono::system_clock::time_point removed) {
  JsonObject record(json_object_new_object());
  json_object* object = record.get();
  add_text(object, "event", "removed");
  add_text(object, "started", utc_iso8601(module.started));
  add_text(object, "device_path", module.device_path);
  add_text(object, "station", station);
  add_text(object, "removed", utc_iso8601(removed));
  return record;
}

std::string json_line(const JsonObject& record) {
  return json_object_to_json_string_ext(record.get(),
                                        JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE);
}

}  // namespace station
