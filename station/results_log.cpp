#include "station/results_log.h"

#include <fcntl.h>
#include <json-c/json.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string_view>
#include <system_error>

#include "station/error_texts.h"

namespace station {
namespace {

using JsonPtr = std::unique_ptr<json_object, decltype(&json_object_put)>;

void add_string(json_object* object, const char* key, const std::string& text) {
  json_object_object_add(object, key,
                         text.empty() ? nullptr : json_object_new_string(text.c_str()));
}

void add_failure(json_object* object, const ModuleRecord& record) {
  if (record.stopped) {
    json_object_object_add(object, "stopped", json_object_new_boolean(1));
    return;
  }
  json_object_object_add(object, "error", json_object_new_int(record.error));
  json_object_object_add(object, "sub_error", json_object_new_int(record.sub_error));
  add_string(object, "error_text", error_text(record.error));
  add_string(object, "sub_error_text", sub_error_text(record.error, record.sub_error));
}

}  // namespace

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

std::string result_line(const ModuleRecord& record, const FirmwareInfo& firmware) {
  JsonPtr line(json_object_new_object(), json_object_put);
  json_object* object = line.get();
  add_string(object, "started", utc_iso8601(record.started));
  add_string(object, "finished", utc_iso8601(record.finished));
  char duration[32];
  std::snprintf(duration, sizeof duration, "%.3f", elapsed(record).count());
  json_object_object_add(object, "duration_s",
                         json_object_new_double_s(std::atof(duration), duration));
  add_string(object, "device_path", record.device_path);
  if (!record.remote.empty()) {
    add_string(object, "remote", record.remote);
  }
  add_string(object, "platform", record.platform);
  add_string(object, "firmware_version", firmware.version);
  add_string(object, "ota_archive", firmware.ota_file);
  add_string(object, "base_archive", firmware.base_file);
  add_string(object, "result", record.outcome == Outcome::Ok ? "ok" : "failed");
  if (record.outcome != Outcome::Ok) {
    add_failure(object, record);
  }
  return json_object_to_json_string_ext(object,
                                        JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE);
}

ResultsLog::ResultsLog(const std::string& path, FirmwareInfo firmware)
    : fd_(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644)),
      firmware_(std::move(firmware)) {
  if (fd_ < 0) {
    throw std::system_error(errno, std::generic_category(),
                            "cannot open results file '" + path + "'");
  }
}

ResultsLog::~ResultsLog() {
  ::close(fd_);
}

bool ResultsLog::append(const ModuleRecord& record) {
  const std::string line = result_line(record, firmware_) + "\n";
  // One write: with O_APPEND the line lands whole at the end of the file or not at all.
  if (::write(fd_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
    return false;
  }
  return ::fdatasync(fd_) == 0;
}

}  // namespace station
