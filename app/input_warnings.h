#pragma once
// What the settings file and the bring-up script file of the command line say that is not read
// as written, told once before any module is touched.

#include "app/options.h"

// Reads the settings file (-s) and the bring-up script file (-a) for their warnings and prints
// each on standard error, in both modes (standard output stays for the log or the protocol). A
// file that cannot be read at all gives no warning here: it is refused where it is used.
void print_input_warnings(const Options& options);
