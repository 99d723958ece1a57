/* A connection's TCP line: the network transport behind the line table. */
#include "ndi_line_internal.h"
#include "ndi_socket_internal.h"

static int socketWrite(NdiConnection* h, const char* data, int n)
{
    return ndiSocketWrite(h->Socket, data, n);
}

static int socketRead(NdiConnection* h, char* buffer, int capacity, int binary)
{
    return ndiSocketReadReply(h->Socket, buffer, capacity, binary);
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
    socketWrite,
    socketRead,
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
