#pragma once
// Fillers for placeholder images.

#include <cstdint>
#include <span>

#include "data/gen/pseudo_random.h"

namespace datagen {

// Fillers that make placeholder images look like firmware to a compressor: regular enough to
// shrink, irregular enough that the archive code paths see real multi-block LZMA streams.

// Instruction-like 32-bit words: a few opcode templates with varying register fields and an
// occasional literal. A trailing part shorter than a word is filled byte-wise.
void fill_code(std::span<uint8_t> region, PseudoRandom& random);

// Lines of configuration-file and script-like text.
void fill_text(std::span<uint8_t> region, PseudoRandom& random);

// A file-system-like mix of code, text, zero padding and incompressible stretches, in chunks
// of a few KiB to 64 KiB.
void fill_file_system(std::span<uint8_t> region, PseudoRandom& random);

}  // namespace datagen
