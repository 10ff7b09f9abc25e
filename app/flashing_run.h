#pragma once
// The interactive flashing run of kavro-flash.

#include "app/options.h"

struct dm_state;
class SessionTable;

// The interactive road: checks the input files, waits for one module of the firmware's
// platform in hardware mode, flashes it with one session and reports the outcome. Returns the
// process exit status.
int run_flashing(const Options& options, dm_state** dm, SessionTable& sessions);
// The words of a session that ended in failure with this error pair.
void print_session_failure(int error, int sub_error);
