// Fault injection of a simulated module: which configured fault fires on a control request or
// on a block written to the flash bootloader, and what it makes the module do.

#include "sim/module.h"

#include <algorithm>

namespace sim {
namespace {

// Does `fault` select this block (before counting occurrences)?
bool selects(const Fault& fault, const BlockHead& head) {
  switch (fault.command_id) {
    case kAnyBlock:
      return true;
    case kDataBlock:
      return head.kind == BlockKind::Data;
    default:
      return head.kind == BlockKind::Command && head.command_id == fault.command_id;
  }
}

}  // namespace

bool Module::configured(Fault::Kind kind) const {
  return std::ranges::any_of(config_.faults,
                             [kind](const Fault& fault) { return fault.kind == kind; });
}

bool Module::control_fault_fires(Fault::Kind kind) {
  for (FaultState& state : faults_) {
    const Fault& fault = state.fault;
    if (fault.kind == kind && !state.fired && fault.after_control_transfers > 0 &&
        vendor_requests_ > fault.after_control_transfers) {
      state.fired = true;
      return true;
    }
  }
  return false;
}

Module::BlockFaults Module::block_faults(const BlockHead& head, bool crosses_image_bytes) {
  BlockFaults result;
  for (FaultState& state : faults_) {
    const Fault& fault = state.fault;
    const bool point_fault = fault.kind == Fault::Kind::Hang || fault.kind == Fault::Kind::Unplug;
    if (point_fault && (state.fired || fault.after_control_transfers > 0)) {
      continue;
    }
    bool fires = false;
    if (point_fault && fault.after_image_bytes > 0) {
      fires = crosses_image_bytes && image_bytes_ >= fault.after_image_bytes;
    } else if (selects(fault, head)) {
      ++state.matches;
      fires = fault.occurrence == 0 || state.matches == fault.occurrence;
    }
    if (!fires) {
      continue;
    }
    switch (fault.kind) {
      case Fault::Kind::Unplug:
        state.fired = true;
        result.unplug = true;
        break;
      case Fault::Kind::Hang:
        state.fired = true;
        result.hang = true;
        break;
      case Fault::Kind::Status:
        result.status = result.status.value_or(fault.status);
        break;
      case Fault::Kind::BadSignature:
        result.bad_signature = true;
        break;
      case Fault::Kind::ShortResponses:
        response_piece_ = std::max<size_t>(1, std::min<size_t>(fault.piece_size, kResponseSize));
        break;
      default:
        break;
    }
  }
  return result;
}

}  // namespace sim
