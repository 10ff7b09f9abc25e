// The cost of one record in each place kavro-station writes it: an SQLite results file (the
// station waits for this), the spool in front of a PostgreSQL server (the station waits for
// this instead), and the server itself one transaction per record and in the sender's batches
// (only the sender's thread waits for those).
//
// usage: kavro-results-rate COUNT SQLITE_FILE SPOOL_FILE CONNINFO
// prints one line per place: "<place> <records> <ms per record> <records per second>"
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "station/results/schema.h"
#include "station/results/spool.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kBatch = 200;  // as the sender sends a backlog

// A finished module's results-log line; `index` makes its start time unique.
std::string record(int index) {
  char line[512];
  std::snprintf(
      line, sizeof line,
      R"({"started":"2026-12-07T%02d:%02d:%02d.%03dZ","finished":"2026-12-07T23:59:59.000Z",)"
      R"("duration_s":31.25,"device_path":"1-%d","platform":"cv22","firmware_version":"2.3.0",)"
      R"("ota_archive":"/srv/ota.7z","base_archive":null,"result":"ok"})",
      index / 3600000 % 24, index / 60000 % 60, index / 1000 % 60, index % 1000, index % 64 + 1);
  return line;
}

void measure(const char* place, int count, const std::function<void(int)>& write) {
  const auto began = Clock::now();
  for (int index = 0; index < count; ++index) {
    write(index);
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - began).count();
  std::printf("%s %d %.3f %.0f\n", place, count, 1000 * seconds / count, count / seconds);
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: kavro-results-rate COUNT SQLITE_FILE SPOOL_FILE CONNINFO\n");
    return 2;
  }
  const int count = std::atoi(argv[1]);
  const auto ignore = [](const std::string&) {};
  try {
    const auto sqlite = results::open_sqlite(argv[2]);
    results::prepare_schema(*sqlite);
    results::RecordWriter sqlite_writer(*sqlite, "bench", ignore);
    measure("sqlite", count, [&](int index) { sqlite_writer.write(record(index)); });

    results::Spool spool(argv[3]);
    measure("spool", count, [&](int index) { spool.append(record(index)); });

    const auto server = results::connect_postgres(argv[4], {}, "kavro-results-rate");
    results::prepare_schema(*server);
    results::RecordWriter server_writer(*server, "bench", ignore);
    measure("postgresql", count, [&](int index) { server_writer.write(record(index)); });
    measure("postgresql-batched", count, [&](int index) {
      if (index % kBatch == 0) {
        server->execute("BEGIN");
      }
      server_writer.write(record(count + index));
      if (index % kBatch == kBatch - 1 || index == count - 1) {
        server->execute("COMMIT");
      }
    });
  } catch (const std::exception& error) {
    std::fprintf(stderr, "kavro-results-rate: %s\n", error.what());
    return 1;
  }
  return 0;
}
