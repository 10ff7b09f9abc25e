#pragma once
// Lines that tell the person at the bench why something was refused or skipped. They go to
// standard error, after the message they explain, so that standard output keeps exactly the
// lines a capturing script may compare; in automated mode nothing is printed.
void explain(const char* format, ...) __attribute__((format(printf, 1, 2)));
