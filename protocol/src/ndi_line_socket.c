/* A connection's TCP line: the network transport behind the line table. */
#include "ndi_line_internal.h"
#include "ndi_socket_internal.h"

static const NdiLineOperations operations;

static void socketBegin(NdiConnection* h, NdiLineWait* wait)
{
    ndiLineWaitInit(wait, h->Socket, 1, ndiLineCancelFd(h), NDI_TIMEOUT_OF_SOCKET, 0);
    /* Only a socket this library opened is sure to have a receive time-out
     * (set at open, never cleared): a record filled in by hand may hold one
     * that would block for good. */
    wait->blockingFirstRead = h->LineOperations == &operations;
}

static void socketFlush(NdiConnection* h, int which) { ndiSocketFlush(h->Socket, which); }

static int socketTimeout(NdiConnection* h, int milliseconds)
{
    return ndiSocketTimeout(h->Socket, milliseconds);
}

/* A network camera has no break: it answers the reset on its own. */
static void socketReset(NdiConnection* h) { (void)h; }

static void socketClose(NdiConnection* h)
{
    if (h->Socket >= 0) {
        ndiSocketClose(h->Socket);
    }
}

static const NdiLineOperations operations = {
    socketBegin,
    socketFlush,
    socketTimeout,
    socketReset,
    socketClose,
    "Network connection write error",
    "Network connection read error",
};

const NdiLineOperations* ndiSocketLineOperations(void) { return &operations; }

int ndiLineOpenSocket(NdiConnection* h, const char* host, int port)
{
    int s = -1;
    if (!ndiSocketOpen(host, port, &s)) {
        return -1;
    }
    /* The reply time-out a socket without one would get, set on the socket
     * itself, so that a receive may block on its own bound. */
    if (ndiSocketTimeout(s, NDI_DEFAULT_REPLY_TIMEOUT_MS) != 1) {
        ndiSocketClose(s);
        return -1;
    }
    h->Socket = s;
    h->Port = port;
    h->LineOperations = &operations;
    return 0;
}
