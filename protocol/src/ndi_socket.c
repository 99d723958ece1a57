/* TCP transport over BSD sockets. */
#include <ndi/protocol.h>
#include "ndi_socket_internal.h"
#include "ndi_transport_internal.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

/* A camera that is off, or an address where nothing answers, leaves a plain
 * connect waiting through the system's retries for about two minutes, with
 * no way for the caller to stop: the attempt gets as long as a reply does.
 * 0 connected, -1 not. */
static int connectWithin(int sock, const struct sockaddr* address, socklen_t length,
                         int milliseconds)
{
    int flags = fcntl(sock, F_GETFL);
    if (flags < 0 || fcntl(sock, F_SETFL, flags | O_NONBLOCK) < 0) {
        return -1;
    }
    int rc = connect(sock, address, length);
    if (rc < 0 && (errno == EINPROGRESS || errno == EINTR)) {
        struct timespec start, now;
        clock_gettime(CLOCK_MONOTONIC, &start);
        for (;;) {
            clock_gettime(CLOCK_MONOTONIC, &now);
            long elapsed = (long)(now.tv_sec - start.tv_sec) * 1000L +
                           (now.tv_nsec - start.tv_nsec) / 1000000L;
            struct pollfd p = {sock, POLLOUT, 0};
            int n = poll(&p, 1, elapsed < milliseconds ? (int)(milliseconds - elapsed) : 0);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            int error = 0;
            socklen_t size = sizeof error;
            rc = n > 0 && getsockopt(sock, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0
                     ? 0
                     : -1;
            break;
        }
    }
    if (rc == 0 && fcntl(sock, F_SETFL, flags) < 0) {
        rc = -1;
    }
    return rc < 0 ? -1 : 0;
}

int ndiSocketOpen(const char* host, int port, int* s)
{
    if (host == NULL || s == NULL || port <= 0 || port > 65535) {
        return 0;
    }
    int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        return 0;
    }
    /* Commands are small and each waits for its reply: never hold them back. */
    int on = 1;
    if (setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) < 0) {
        close(sock);
        return 0;
    }
    /* getaddrinfo is safe to call from several streams' threads at once and
     * takes a dotted address as well as a name. */
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    char service[8];
    snprintf(service, sizeof service, "%d", port);
    struct addrinfo* found = NULL;
    if (getaddrinfo(host, service, &hints, &found) != 0 || found == NULL) {
        close(sock);
        return 0;
    }
    int rc = connectWithin(sock, found->ai_addr, found->ai_addrlen, NDI_DEFAULT_REPLY_TIMEOUT_MS);
    freeaddrinfo(found);
    if (rc < 0) {
        shutdown(sock, SHUT_RDWR);
        close(sock);
        return 0;
    }
    *s = sock;
    return 1;
}

void ndiSocketClose(int s)
{
    shutdown(s, SHUT_RDWR);
    close(s);
}

int ndiSocketFlush(int s, int which)
{
    /* A reply that arrived after its command had timed out is still queued on
     * the stream; left there, it would be taken for the reply to the next
     * command and every later exchange would run one reply behind (an old
     * frame reported as the new one). Discarding what is already readable
     * before a command goes out puts the exchange back in step. A peer that
     * sends without end would keep this loop going for good: it stops after
     * NDI_DISCARD_LIMIT bytes, and what is left spoils only the next reply.
     * Output has nothing to discard: send() has handed it to the kernel. */
    if (which == 2) {
        return 1;
    }
    char scratch[512];
    long discarded = 0;
    while (discarded < NDI_DISCARD_LIMIT) {
        ssize_t n = recv(s, scratch, sizeof scratch, MSG_DONTWAIT);
        if (n > 0) {
            discarded += n;
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        break; /* nothing more queued (EAGAIN), peer closed, or an error the next read reports */
    }
    return 1;
}

int ndiSocketTimeout(int s, int milliseconds)
{
    if (milliseconds <= 0) {
        return 0;
    }
    struct timeval tv;
    tv.tv_sec = milliseconds / 1000;
    tv.tv_usec = (milliseconds % 1000) * 1000;
    /* 1 promises that replies are waited for no longer than asked. */
    return setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0 ? 1 : 0;
}

int ndiSocketReplyTimeout(int s)
{
    struct timeval tv;
    socklen_t length = sizeof tv;
    if (getsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, &length) != 0 ||
        (tv.tv_sec == 0 && tv.tv_usec == 0)) {
        return NDI_DEFAULT_REPLY_TIMEOUT_MS;
    }
    long long ms = (long long)tv.tv_sec * 1000LL + ((long long)tv.tv_usec + 999) / 1000;
    return ms > INT_MAX ? INT_MAX : (int)ms;
}

static void startWait(NdiLineWait* wait, int s)
{
    ndiLineWaitInit(wait, s, 1, -1, ndiSocketReplyTimeout(s), 0);
}

int ndiSocketWrite(int s, const char* data, int n)
{
    NdiLineWait wait;
    startWait(&wait, s);
    return ndiLineWaitWrite(&wait, data, n);
}

int ndiSocketReadReply(int s, char* buffer, int capacity, int binary)
{
    NdiLineWait wait;
    startWait(&wait, s);
    return ndiLineWaitRead(&wait, buffer, capacity, binary);
}

int ndiSocketRead(int s, char* buffer, int capacity, int binary, int* extra)
{
    (void)extra; /* kept for callers of the public signature; nothing uses it */
    int n = ndiSocketReadReply(s, buffer, capacity, binary);
    /* Callers of the public read know a TCP time-out as a failure. */
    return n == 0 && capacity > 0 ? -1 : n;
}

int ndiSocketSleep(int s, int milliseconds)
{
    (void)s;
    ndiSleepMilliseconds(milliseconds);
    return 1;
}
