/* TCP transport over BSD sockets. */
#include <ndi/protocol.h>
#include "ndi_socket_internal.h"
#include "ndi_transport_internal.h"

#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

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
    int rc;
    do {
        rc = connect(sock, found->ai_addr, found->ai_addrlen);
    } while (rc < 0 && errno == EINTR);
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
     * before a command goes out puts the exchange back in step. Output has
     * nothing to discard: send() has handed it to the kernel. */
    if (which == 2) {
        return 1;
    }
    char scratch[512];
    for (;;) {
        ssize_t n = recv(s, scratch, sizeof scratch, MSG_DONTWAIT);
        if (n > 0) {
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

int ndiSocketWrite(int s, const char* data, int n)
{
    int done = 0;
    while (done < n) {
        ssize_t r = send(s, data + done, (size_t)(n - done), MSG_NOSIGNAL);
        if (r < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        done += (int)r;
    }
    return done;
}

int ndiSocketReadReply(int s, char* buffer, int capacity, int binary)
{
    NdiReadFrame frame;
    ndiReadFrameStart(&frame, capacity);
    int count = 0;
    while (count < frame.limit) {
        ssize_t r = recv(s, buffer + count, (size_t)(frame.limit - count), 0);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return 0; /* the receive time-out: whatever came is not a whole reply */
        }
        if (r <= 0) {
            return -1; /* peer closed or failure */
        }
        count += (int)r;
        if (ndiReadFrameDone(&frame, buffer, count, binary)) {
            break;
        }
    }
    return count;
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
