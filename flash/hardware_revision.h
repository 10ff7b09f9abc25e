#pragma once
// The board-revision probe, read through the module's ADC in hardware mode.

#include <cstdint>

struct dm_state;

// Reads the module's board revision through its ADC (boot-ROM mode). 0 when the platform has
// no probe, on any failure, and for an unknown reading.
int get_hardware_revision(dm_state* dm, int index, const char* platform);
