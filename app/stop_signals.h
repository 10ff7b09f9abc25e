#pragma once
// SIGINT and SIGTERM ask the program to stop cleanly: an interactive run stops its session at
// the next block and says what the module was left in; automated mode stops reading requests,
// answers those already read and ends as after "Q". A second signal ends the program at once,
// for an operator who does not want to wait for that.
//
// The signals stay blocked in every thread except where they are expected, so that they never
// interrupt a USB transfer or a session's own waiting.

#include <chrono>

// Installs the handler and blocks both signals in the calling thread; every thread started
// afterwards inherits the block. Called on the main thread before any other thread exists.
void block_stop_signals();

// Lets both signals be delivered to the calling thread. A blocking read in that thread then
// returns early with EINTR when the first one arrives; the second ends the program.
void accept_stop_signals();

// Waits up to `pause` for a stop signal on a thread that blocks them; true when one arrived.
// The signals are then accepted in this thread, so that a second one ends the program.
bool stop_signal_within(std::chrono::milliseconds pause);
