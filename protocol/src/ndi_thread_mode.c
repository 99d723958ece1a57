/* Thread mode: a background thread repeats the tracking command while
 * tracking runs and keeps the latest reply for ndiCommand to hand out. */
#include "ndi_line_internal.h"

#include <sched.h>
#include <stdlib.h>
#include <string.h>

#define NDI_POLL_IDLE_MS 20

static void releaseThreadObjects(NdiConnection* h)
{
    ndiEventDestroy(h->ResultEvent);
    ndiMutexDestroy(h->ResultMutex);
    ndiMutexDestroy(h->PollMutex);
    free(h->PollResult);
    free(h->PollReply);
    free(h->PollCommand);
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
    if (h->PollCommand == NULL || h->PollReply == NULL || h->PollResult == NULL ||
        h->ResultMutex == NULL || h->ResultEvent == NULL || h->PollMutex == NULL) {
        releaseThreadObjects(h);
        return;
    }
    /* Until TSTART the thread must wait on PollMutex. */
    if (!h->TrackingActive) {
        ndiMutexLock(h->PollMutex);
    }
    h->ThreadMode = 1;
    h->PollThread = ndiThreadSplit(ndiThreadFunc, h);
    if (h->PollThread == (NdiThread)0) {
        h->ThreadMode = 0;
        if (!h->TrackingActive) {
            ndiMutexUnlock(h->PollMutex);
        }
        releaseThreadObjects(h);
    }
}

static void switchOff(NdiConnection* h)
{
    if (h->TrackingActive) {
        /* The thread reads the flag under PollMutex, between exchanges. */
        ndiMutexLock(h->PollMutex);
        h->ThreadMode = 0;
        ndiMutexUnlock(h->PollMutex);
    } else {
        /* PollMutex is ours while tracking is off: releasing it lets the
         * waiting thread see the cleared flag. */
        h->ThreadMode = 0;
        ndiMutexUnlock(h->PollMutex);
    }
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

void* ndiThreadFunc(void* handle)
{
    NdiConnection* h = (NdiConnection*)handle;
    int error = 0;
    while (error == 0) {
        ndiMutexLock(h->PollMutex);
        if (!h->ThreadMode) {
            ndiMutexUnlock(h->PollMutex);
            break;
        }
        const int idle = h->PollCommand[0] == '\0';
        if (!idle) {
            int n = 0;
            error = ndiLineExchange(h, h->PollCommand, (int)strlen(h->PollCommand), h->PollReply,
                                    h->PollBinary, h->PollReply, &n);
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
        ndiMutexUnlock(h->PollMutex);
        /* PollMutex is not fair: locked again at once, it could keep a
         * command waiting for the line turn after turn. Sleeping through
         * the wait for a tracking command with it held kept the first one
         * after TSTART waiting 50 to 100 ms. */
        if (idle) {
            ndiLineSleep(h, NDI_POLL_IDLE_MS);
        } else {
            sched_yield();
        }
    }
    return NULL;
}
