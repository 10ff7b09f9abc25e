#pragma once

// The station's end of the request protocol: `kavro-flash -g` as a child process, requests
// written to its standard input, responses read from its standard output. The child keeps the
// station's standard error, so what it reports there reaches the operator unchanged. It runs
// in a process group of its own: a Ctrl-C at the terminal reaches the station only, which then
// decides what becomes of the running sessions.

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace station {

// One response after its "[TAG CMD]" head, as words and as the text they stand in; `refused`
// for "[TAG 255] CODE ...".
struct Response {
  bool refused = false;
  std::vector<std::string> words;
  std::string text;  // without the space after the head and the line ending
};

// The version `program -V` names ("kavro-flash: version 1.7.0" gives "1.7.0"); empty when it
// names none.
std::string flasher_version(const std::string& program);

class FlasherLink {
 public:
  // Starts `program -g arguments...`; throws std::system_error when it cannot be started.
  FlasherLink(const std::string& program, const std::vector<std::string>& arguments,
              std::chrono::seconds reply_limit = std::chrono::seconds(60));
  ~FlasherLink();  // a child still running is killed and reaped
  FlasherLink(const FlasherLink&) = delete;
  FlasherLink& operator=(const FlasherLink&) = delete;

  // Sends "[TAG command] index" and returns its response. Nothing when the child has ended,
  // or gave no response within the reply limit.
  std::optional<Response> request(int command, std::optional<int> index = std::nullopt);
  // Ends the protocol with "Q" and returns the child's exit status.
  int quit();
  // Waits for the child to end (killing it after the reply limit) and returns its exit status:
  // its exit code, or 128 + the signal that ended it.
  int wait_exit();

 private:
  std::optional<std::string> read_line();

  pid_t pid_ = -1;
  int to_child_ = -1;
  int from_child_ = -1;
  std::string buffer_;
  int tag_ = 0;
  std::chrono::seconds reply_limit_;
  std::optional<int> exit_status_;
};

}  // namespace station
