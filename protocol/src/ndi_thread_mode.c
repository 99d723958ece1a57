/* Thread mode: a background thread repeats the tracking command while
 * tracking runs and keeps the latest reply for ndiCommand to hand out.
 *
 * PollMutex guards the line and the gate the thread waits at: ThreadMode,
 * TrackingActive, PollCommand and PollBinary change only under it, and
 * whoever gives the thread work or switches thread mode off wakes it through
 * PollGate. Each side holds it for one exchange at a time and never from one
 * API call to the next, so the handle may pass between threads. */
#include "ndi_line_internal.h"
#include "ndi_sync_internal.h"
#include "ndi_thread_mode_internal.h"

#include <sched.h>
#include <stdlib.h>
#include <string.h>

static void releaseThreadObjects(NdiConnection* h)
{
    ndiConditionDestroy(h->PollGate);
    ndiEventDestroy(h->ResultEvent);
    ndiMutexDestroy(h->ResultMutex);
    ndiMutexDestroy(h->PollMutex);
    free(h->PollResult);
    free(h->PollReply);
    free(h->PollCommand);
    h->PollGate = NULL;
    h->ResultEvent = NULL;
    h->ResultMutex = NULL;
    h->PollMutex = NULL;
    h->PollResult = NULL;
    h->PollReply = NULL;
    h->PollCommand = NULL;
    h->PollThread = (NdiThread)0;
}

/* Anything that cannot be created leaves thread mode off and the handle as
 * it was, so that the caller can go on without the thread. */
static void switchOn(NdiConnection* h)
{
    h->PollCommand = (char*)calloc(NDI_BUFFER_SIZE, 1);
    h->PollReply = (char*)calloc(NDI_BUFFER_SIZE, 1);
    h->PollResult = (char*)calloc(NDI_BUFFER_SIZE, 1);
    h->PollResultLength = 0;
    h->PollBinary = 0;
    h->PollError = 0;
    h->ResultMutex = ndiMutexCreate();
    h->ResultEvent = ndiEventCreate();
    h->PollMutex = ndiMutexCreate();
    h->PollGate = ndiConditionCreate();
    if (h->PollCommand == NULL || h->PollReply == NULL || h->PollResult == NULL ||
        h->ResultMutex == NULL || h->ResultEvent == NULL || h->PollMutex == NULL ||
        h->PollGate == NULL) {
        releaseThreadObjects(h);
        return;
    }
    /* Set before the thread starts: its creation makes the write visible
     * to it. */
    h->ThreadMode = 1;
    h->PollThread = ndiThreadSplit(ndiThreadFunc, h);
    if (h->PollThread == (NdiThread)0) {
        h->ThreadMode = 0;
        releaseThreadObjects(h);
    }
}

static void switchOff(NdiConnection* h)
{
    /* The thread sees the cleared flag after its current exchange, or at
     * once where it waits. */
    ndiMutexLock(h->PollMutex);
    h->ThreadMode = 0;
    ndiConditionWake(h->PollGate);
    ndiMutexUnlock(h->PollMutex);
    ndiThreadJoin(h->PollThread);
    releaseThreadObjects(h);
}

void ndiSetThreadMode(NdiConnection* h, int on)
{
    if (h == NULL || (on != 0) == (h->ThreadMode != 0)) {
        return;
    }
    if (on) {
        switchOn(h);
    } else {
        switchOff(h);
    }
}

/* Hands the outcome of one exchange to the command side. */
static void publish(NdiConnection* h, int n, int error)
{
    if (error != 0) {
        n = 0;
        h->PollReply[0] = '\0';
    }
    ndiMutexLock(h->ResultMutex);
    memcpy(h->PollResult, h->PollReply, (size_t)n + 1);
    h->PollResultLength = n;
    h->PollError = error;
    ndiEventSignal(h->ResultEvent);
    ndiMutexUnlock(h->ResultMutex);
}

void* ndiThreadFunc(void* handle)
{
    NdiConnection* h = (NdiConnection*)handle;
    ndiMutexLock(h->PollMutex);
    for (;;) {
        /* Waiting releases PollMutex: while tracking is off, or until the
         * first tracking command after TSTART, the line stays free. */
        while (h->ThreadMode && !(h->TrackingActive && h->PollCommand[0] != '\0')) {
            ndiConditionWait(h->PollGate, h->PollMutex);
        }
        if (!h->ThreadMode) {
            break;
        }
        int n = 0;
        int error = ndiLineExchange(h, h->PollCommand, (int)strlen(h->PollCommand), h->PollReply,
                                    h->PollBinary, h->PollReply, &n);
        publish(h, n, error);
        if (error != 0) {
            break;
        }
        /* PollMutex is not fair: taken again at once, it could keep a
         * command waiting for the line turn after turn. */
        ndiMutexUnlock(h->PollMutex);
        sched_yield();
        ndiMutexLock(h->PollMutex);
    }
    ndiMutexUnlock(h->PollMutex);
    return NULL;
}
