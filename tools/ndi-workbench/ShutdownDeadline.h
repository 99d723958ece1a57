#pragma once
// Ending the program within a second, whatever the systems do: every stream
// is asked to stop and close at once; a stream that has not closed after the
// grace period is waiting for a reply that may never come, so its pending
// replies are made to fail; one still open at the limit is left as it is.
#include "StreamSession.h"

#include <chrono>
#include <vector>

namespace workbench {

struct ShutdownTimes {
    std::chrono::milliseconds grace{500};
    std::chrono::milliseconds limit{900};
};

// True when every stream closed; false when one was left open (it must then
// not be destroyed: its destructor would wait for the close).
bool closeWithinDeadline(const std::vector<StreamSession*>& sessions, ShutdownTimes times = {});

}  // namespace workbench
