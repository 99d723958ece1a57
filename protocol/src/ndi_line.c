/* One request and reply on a connection's line, and the signal that cancels
 * a connection's replies. */
#include "ndi_line_internal.h"
#include "ndi_transport_internal.h"

#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

const NdiLineOperations* ndiLineOf(const NdiConnection* h)
{
    if (h->LineOperations != NULL) {
        return h->LineOperations;
    }
    return h->DeviceHandle >= 0 ? ndiSerialLineOperations() : ndiSocketLineOperations();
}

struct NdiReplyCancel* ndiReplyCancelCreate(void)
{
    struct NdiReplyCancel* cancel = (struct NdiReplyCancel*)malloc(sizeof *cancel);
    if (cancel == NULL) {
        return NULL;
    }
    /* Non-blocking, so that signalling it from a signal handler never waits. */
    atomic_init(&cancel->cancelled, 0);
    cancel->eventFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (cancel->eventFd < 0) {
        free(cancel);
        return NULL;
    }
    return cancel;
}

void ndiReplyCancelDestroy(struct NdiReplyCancel* cancel)
{
    if (cancel != NULL) {
        close(cancel->eventFd);
        free(cancel);
    }
}

int ndiLineCancelFd(const NdiConnection* h)
{
    return h->ReplyCancel != NULL ? h->ReplyCancel->eventFd : -1;
}

/* A flag beside the descriptor answers the question without a system call
 * on every exchange; the descriptor is what ends a wait already under way. */
int ndiLineCancelled(const NdiConnection* h)
{
    return h->ReplyCancel != NULL &&
           atomic_load_explicit(&h->ReplyCancel->cancelled, memory_order_acquire) != 0;
}

/* Only a write to the event descriptor, which is never read: it stays
 * readable, so every wait that polls it ends at once from now on. Safe in a
 * signal handler and from any thread, without a lock. */
void ndiCancelReplies(NdiConnection* h)
{
    if (h == NULL || h->ReplyCancel == NULL) {
        return;
    }
    atomic_store_explicit(&h->ReplyCancel->cancelled, 1, memory_order_release);
    int saved = errno;
    uint64_t one = 1;
    ssize_t r;
    do {
        r = write(h->ReplyCancel->eventFd, &one, sizeof one);
    } while (r < 0 && errno == EINTR);
    /* A receive blocked on the socket itself ends when its reading side is
     * shut; nothing is sent to the peer. */
    if (h->Socket >= 0) {
        shutdown(h->Socket, SHUT_RD);
    }
    errno = saved;
}

int ndiLineRead(NdiConnection* h, char* buffer, int capacity, int binary)
{
    NdiLineWait wait;
    if (ndiLineCancelled(h)) {
        return 0;
    }
    ndiLineOf(h)->begin(h, &wait);
    return ndiLineWaitRead(&wait, buffer, capacity, binary);
}

void ndiLineSleep(NdiConnection* h, int milliseconds)
{
    (void)h; /* neither line is needed to wait */
    ndiSleepMilliseconds(milliseconds);
}

const char* ndiLineErrorText(const NdiConnection* h, int code)
{
    if (code == NDI_ERR_WRITE) {
        return ndiLineOf(h)->writeFailure;
    }
    if (code == NDI_ERR_READ) {
        return ndiLineOf(h)->readFailure;
    }
    return ndiErrorString(code);
}

int ndiLineExchange(NdiConnection* h, const char* command, int total, char* reply, int binary,
                    char* scratch, int* received)
{
    const NdiLineOperations* line = ndiLineOf(h);
    *received = 0;
    reply[0] = '\0';
    NdiLineWait wait;
    if (ndiLineCancelled(h)) {
        return NDI_ERR_TIMEOUT;
    }
    line->begin(h, &wait);
    /* Stray input is there only after an exchange went wrong (a reply that
     * came after its time-out, the rest of one that did not check out) or
     * before the first one: a receive that finds nothing costs every other
     * exchange a system call for no gain. */
    if (!h->LineInStep) {
        line->flush(h, 1);
    }
    h->LineInStep = 0;
    int written = ndiLineWaitWrite(&wait, command, total);
    if (written < 0) {
        return NDI_ERR_WRITE;
    }
    if (written < total) {
        return NDI_ERR_TIMEOUT;
    }
    ndiLineWaitRestart(&wait);
    int n = ndiLineWaitRead(&wait, reply, NDI_READ_LIMIT, binary);
    if (ndiLineCancelled(h)) {
        return NDI_ERR_TIMEOUT; /* also when the cancel's shutdown ended the receive */
    }
    if (n < 0) {
        return NDI_ERR_READ;
    }
    reply[n] = '\0';
    *received = n;
    if (n == 0) {
        return NDI_ERR_TIMEOUT;
    }
    if (n == NDI_READ_LIMIT) {
        int remainder = ndiReadRemainder(reply, n, binary);
        if (remainder != 0) {
            ndiLineWaitDiscard(&wait, remainder, scratch, NDI_READ_LIMIT);
            return NDI_ERR_READ;
        }
    }
    h->LineInStep = 1;
    return 0;
}
