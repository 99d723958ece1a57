/* A pseudo-terminal does not carry a break, yet the simulated device must
 * learn of one to reset its line the way a real system does. Linked into a
 * host program (or preloaded), this wraps tcsendbreak() and, after the real
 * call, sends one UNIX datagram to the socket named by $NDI_BREAK_NOTIFY
 * holding the path of the terminal the break was sent on (the target of
 * /proc/self/fd/<fd>), so that a device on a pty can tell its own line's
 * breaks from others'. Without the variable it only calls the real function. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

static void notify(int fd)
{
    const char* target = getenv("NDI_BREAK_NOTIFY");
    if (target == NULL || *target == '\0') {
        return;
    }
    char link[64];
    char path[256];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, path, sizeof path - 1);
    if (n <= 0) {
        return;
    }
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (strlen(target) >= sizeof addr.sun_path) {
        return;
    }
    strcpy(addr.sun_path, target);
    int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        return;
    }
    (void)sendto(s, path, (size_t)n, 0, (struct sockaddr*)&addr, sizeof addr);
    close(s);
}

int tcsendbreak(int fd, int duration)
{
    typedef int (*real_fn)(int, int);
    real_fn real = (real_fn)dlsym(RTLD_NEXT, "tcsendbreak");
    int result = real != NULL ? real(fd, duration) : 0;
    notify(fd);
    return result;
}
