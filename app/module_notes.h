#pragma once
// What the interactive run says about the modules on the bus.

#include <cstdint>
#include <set>
#include <string>
#include <utility>

struct dm_state;

// What the interactive run says about the modules on the bus, through explain(): the attached
// modules it cannot use and why (each named once), the module it takes, and in words what
// became of a module whose USB transfer failed.
class ModuleNotes {
 public:
  explicit ModuleNotes(std::string firmware_platform) : platform_(std::move(firmware_platform)) {}

  // Names every ready module that is not among the `count` usable ones of this poll.
  void note_unusable(dm_state** dm, const uint8_t* usable, uint32_t count);

 private:
  std::string platform_;
  std::set<std::string> noted_;  // device paths already named
};

// Names the module taken for flashing by its device path.
void name_taken_module(dm_state** dm, int index);

// For a session that failed in USB transport (session error -4 with the device manager's code
// as sub error): whether the module went away, stopped answering or refused.
void explain_transfer_failure(dm_state** dm, int index, int error, int sub_error);
