#include "ShutdownDeadline.h"

namespace workbench {

bool closeWithinDeadline(const std::vector<StreamSession*>& sessions, ShutdownTimes times)
{
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    for (StreamSession* s : sessions) s->requestClose();
    bool all = true;
    for (StreamSession* s : sessions) {
        if (s->closedBy(start + times.grace)) continue;
        s->cancelPendingReplies();
        if (!s->closedBy(start + times.limit)) all = false;
    }
    return all;
}

}  // namespace workbench
