/* A connection's TCP line: the network transport behind the line table. */
#include "ndi_line_internal.h"
#include "ndi_socket_internal.h"

static void socketBegin(NdiConnection* h, NdiLineWait* wait)
{
    ndiLineWaitInit(wait, h->Socket, 1, ndiLineCancelFd(h), ndiSocketReplyTimeout(h->Socket), 0);
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
    h->Socket = s;
    h->Port = port;
    h->LineOperations = &operations;
    return 0;
}
