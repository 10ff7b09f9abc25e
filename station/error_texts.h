#pragma once

// The words for a failed session's error pair, from the subsystems that define the codes. Each
// text is whole: the flasher's texts that end in a colon, ready for a detail to follow on the
// same line, lose it here, so that the station joins texts with one ": " of its own.

#include <string>

namespace station {

// The session error's text; empty for 0 (a module whose session never started).
std::string error_text(int error);
// The detail's text where the error's subsystem has one (archive, USB device manager,
// settings, bring-up script, the module's status word); empty otherwise.
std::string sub_error_text(int error, int sub_error);

}  // namespace station
