#pragma once
// Test seam of the supervisor's CoreSlot.

#include <functional>

#include "common/result.h"

namespace zelto {

// Runs `body` inside the slot's locked section, exactly as start_core and stop_core run theirs:
// an exception leaving it poisons the slot for the rest of the process.
ErrorText run_in_core_slot_for_testing(const std::function<void()>& body);

}  // namespace zelto
