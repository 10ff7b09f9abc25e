#pragma once
// The program's printers, one per kind of output, so that this header lists every way a line
// reaches the terminal. Log text goes through debug(), which is silent once the program runs as
// a script's back end (-g); protocol responses go through print_and_flush(); diagnostics that
// must be seen even then (a transport failure deep in the USB layer) go through diagnostic().
// The last two always print and flush, so a reading script sees each line at once.

void enable_automated_mode();
int in_automated_mode();

void debug(const char* format, ...) __attribute__((format(printf, 1, 2)));
void print_and_flush(const char* format, ...) __attribute__((format(printf, 1, 2)));
void diagnostic(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Why the program refuses to start: log text like debug() in interactive use; in automated mode
// written to standard error instead, so that the controlling script can tell the operator while
// standard output stays protocol-only.
void explain_refusal(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Prints a progress line (`format` takes the percentage) like debug() and flushes it so that it
// shows in place; prints nothing in automated mode.
void show_progress(const char* format, int percent);
// The percentage of the last progress line shown, 0 before the first: what the person at the
// bench last saw, which a stopped run repeats.
int last_progress_shown();
