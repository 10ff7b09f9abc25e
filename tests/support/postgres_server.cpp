#include "tests/support/postgres_server.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace test_support {
namespace {

const std::string kBin = KAVRO_POSTGRES_BIN_DIR;

std::string joined(const std::vector<std::string>& words) {
  std::string text;
  for (const std::string& word : words) {
    text += (text.empty() ? "'" : " '") + word + "'";
  }
  return text;
}

}  // namespace

PostgresServer::Watchdog::~Watchdog() {
  if (process) {
    process->close_input();
    process->finish(std::chrono::minutes(1));
  }
}

PostgresServer::PostgresServer() {
  std::string pattern = (std::filesystem::temp_directory_path() / "kavro-pg.XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("cannot create a folder for PostgreSQL");
  }
  folder_ = pattern;
  if (geteuid() == 0) {
    const passwd* owner = getpwnam("postgres");
    if (owner == nullptr || chown(folder_.c_str(), owner->pw_uid, owner->pw_gid) != 0) {
      std::filesystem::remove_all(folder_);
      throw std::runtime_error("running as root needs the postgres user to own the server");
    }
    as_owner_ = {"/usr/sbin/runuser", "-u", "postgres", "--"};
  }
  const std::string data = (folder_ / "data").string();
  // Reads until the test program's end of its standard input, whichever way the program ends.
  const std::string cleanup = "cat > /dev/null; " + joined(as_owner_) + " '" + kBin +
                              "/pg_ctl' -D '" + data + "' -m immediate -w stop > /dev/null 2>&1; " +
                              "rm -rf '" + folder_.string() + "'";
  watchdog_.process =
      std::make_unique<ChildProcess>("/bin/sh", std::vector<std::string>{"-c", cleanup});
  run_as_owner("initdb", {"-D", data, "-U", "kavro", "-A", "trust", "-E", "UTF8", "--locale=C",
                          "--no-sync", "--no-instructions"});
  start();
}

PostgresServer::~PostgresServer() = default;

std::string PostgresServer::conninfo(const std::string& database) const {
  return "host=" + folder_.string() + " dbname=" + database + " user=kavro";
}

std::string PostgresServer::uri(const std::string& database) const {
  return "postgresql:///" + database + "?host=" + folder_.string() + "&user=kavro";
}

void PostgresServer::start() {
  run_as_owner("pg_ctl",
               {"-D", (folder_ / "data").string(), "-l", (folder_ / "log").string(), "-w", "-t",
                "120", "-o", "-k '" + folder_.string() + "' -c listen_addresses='' -F", "start"});
}

void PostgresServer::stop() {
  run_as_owner("pg_ctl", {"-D", (folder_ / "data").string(), "-m", "fast", "-w", "stop"});
}

void PostgresServer::run_as_owner(const std::string& program,
                                  const std::vector<std::string>& arguments) {
  std::vector<std::string> command = as_owner_;
  command.push_back(kBin + "/" + program);
  command.insert(command.end(), arguments.begin(), arguments.end());
  const ProcessResult result =
      run_process(command.front(), std::vector<std::string>(command.begin() + 1, command.end()));
  if (result.exit_status != 0) {
    std::ifstream log(folder_ / "log");
    const std::string server_words{std::istreambuf_iterator<char>(log), {}};
    throw std::runtime_error(program + " failed: " + result.out + result.err + server_words);
  }
}

}  // namespace test_support
