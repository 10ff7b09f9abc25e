#pragma once

// The firmware version an archive's manifest declares, for the results log. Only the manifest
// entry is read; checking the archive stays the flasher's work.

#include <string>

namespace station {

// The manifest's "firmware_version", or empty when the archive or its manifest cannot be read.
std::string firmware_version(const std::string& archive_path);

}  // namespace station
