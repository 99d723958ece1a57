#include "StopSignals.h"

#include <pthread.h>

namespace stop_signals {

sigset_t blockInEveryThread()
{
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    return stopSignals;
}

}  // namespace stop_signals
