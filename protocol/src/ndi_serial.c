/* Serial transport over the POSIX terminal interface. */
#include <ndi/protocol.h>
#include "ndi_serial_internal.h"
#include "ndi_transport_internal.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

/* Open-file-description locks conflict with every other open of the device,
 * also within this process: a second stream probing the ports must not talk
 * over a line that another stream is driving, and closing that probe must not
 * drop the other stream's lock (a per-process lock would do both). */
static int lockWholeFile(int fd, short type)
{
    struct flock lock;
    memset(&lock, 0, sizeof lock);
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    return fcntl(fd, F_OFD_SETLK, &lock);
}

int ndiSerialOpenSaving(const char* device, struct termios* saved)
{
    if (device == NULL) {
        return -1;
    }
    /* Non-blocking so that the open does not wait for a modem line. */
    int fd = open(device, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    if (fcntl(fd, F_SETFL, 0) < 0 || lockWholeFile(fd, F_WRLCK) < 0) {
        close(fd);
        return -1;
    }
    struct termios t;
    if (tcgetattr(fd, &t) < 0) {
        lockWholeFile(fd, F_UNLCK);
        close(fd);
        return -1;
    }
    *saved = t;

    t.c_iflag = 0;
    t.c_oflag = 0;
    t.c_lflag = 0;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 50; /* return at once with data, or after 5 s without */
    if (tcsetattr(fd, TCSANOW, &t) < 0) {
        lockWholeFile(fd, F_UNLCK);
        close(fd);
        return -1;
    }
    tcflush(fd, TCIOFLUSH);
    return fd;
}

void ndiSerialCloseRestoring(int fd, const struct termios* saved)
{
    if (saved != NULL) {
        tcsetattr(fd, TCSANOW, saved);
    }
    lockWholeFile(fd, F_UNLCK);
    close(fd);
}

int ndiSerialOpen(const char* device)
{
    struct termios saved;
    int fd = ndiSerialOpenSaving(device, &saved);
    if (fd >= 0 && ndiSerialKeepSettings(fd, &saved) != 0) {
        /* Without a place for the old settings the line could not be given
         * back at close: refuse it rather than change it for good. */
        ndiSerialCloseRestoring(fd, &saved);
        return -1;
    }
    return fd;
}

void ndiSerialClose(int fd)
{
    struct termios saved;
    int found = ndiSerialTakeSettings(fd, &saved);
    ndiSerialCloseRestoring(fd, found ? &saved : NULL);
}

int ndiSerialCheckDSR(int fd)
{
    int bits;
    if (ioctl(fd, TIOCMGET, &bits) < 0) {
        return 1; /* lines without modem signals (adapters, ptys) count as ready */
    }
    return (bits & TIOCM_DSR) != 0;
}

int ndiSerialBreak(int fd)
{
    tcflush(fd, TCIOFLUSH);
    tcsendbreak(fd, 0);
    return 0;
}

int ndiSerialFlush(int fd, int which)
{
    int selector = which == 1 ? TCIFLUSH : which == 2 ? TCOFLUSH : TCIOFLUSH;
    tcflush(fd, selector);
    return 0;
}

static int speedOf(int baud, speed_t* speed)
{
    switch (baud) {
    case 9600: *speed = B9600; return 0;
    case 19200: *speed = B19200; return 0;
    case 38400: *speed = B38400; return 0;
    case 57600: *speed = B57600; return 0;
    case 115200: *speed = B115200; return 0;
    case 230400: *speed = B230400; return 0;
    default: return -1;
    }
}

int ndiSerialComm(int fd, int baud, const char* mode, int handshake)
{
    speed_t speed;
    if (speedOf(baud, &speed) < 0 || mode == NULL) {
        return -1;
    }
    struct termios t;
    if (tcgetattr(fd, &t) < 0) {
        return -1;
    }
    t.c_cflag &= ~(tcflag_t)CSIZE;
    if (cfsetispeed(&t, speed) < 0 || cfsetospeed(&t, speed) < 0) {
        return -1;
    }
    switch (mode[0]) {
    case '8': t.c_cflag |= CS8; break;
    case '7': t.c_cflag |= CS7; break;
    default: return -1;
    }
    switch (mode[1]) {
    case 'N': t.c_cflag &= ~(tcflag_t)(PARENB | PARODD); break;
    case 'O': t.c_cflag |= PARENB | PARODD; break;
    case 'E':
        t.c_cflag |= PARENB;
        t.c_cflag &= ~(tcflag_t)PARODD;
        break;
    default: return -1;
    }
    switch (mode[2]) {
    case '1': t.c_cflag &= ~(tcflag_t)CSTOPB; break;
    case '2': t.c_cflag |= CSTOPB; break;
    default: return -1;
    }
    if (handshake) {
        t.c_cflag |= CRTSCTS;
    } else {
        t.c_cflag &= ~(tcflag_t)CRTSCTS;
    }
    return tcsetattr(fd, TCSADRAIN, &t) < 0 ? -1 : 0;
}

int ndiSerialTimeout(int fd, int milliseconds)
{
    struct termios t;
    if (tcgetattr(fd, &t) < 0) {
        return -1;
    }
    int tenths = milliseconds / 100;
    if (tenths < 0) {
        tenths = 0;
    }
    if (tenths > 255) {
        tenths = 255; /* VTIME is one byte: 25.5 s is the longest wait */
    }
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = (cc_t)tenths;
    return tcsetattr(fd, TCSANOW, &t) < 0 ? -1 : 0;
}

/* Bits on the wire per character: start bit, data bits, parity, stop bits. */
static int bitsPerCharacter(const struct termios* t)
{
    int bits = 1;
    switch (t->c_cflag & CSIZE) {
    case CS5: bits += 5; break;
    case CS6: bits += 6; break;
    case CS7: bits += 7; break;
    default: bits += 8; break;
    }
    if (t->c_cflag & PARENB) {
        bits += 1;
    }
    bits += (t->c_cflag & CSTOPB) ? 2 : 1;
    return bits;
}

static long baudOf(speed_t speed)
{
    switch (speed) {
    case B1200: return 1200;
    case B2400: return 2400;
    case B4800: return 4800;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    case B230400: return 230400;
    case B460800: return 460800;
    case B921600: return 921600;
    default: return 0; /* no pace known: the time-out alone bounds a reply */
    }
}

void ndiSerialLineTiming(int fd, int* timeoutMs, int* microsPerByte)
{
    struct termios t;
    *timeoutMs = NDI_DEFAULT_REPLY_TIMEOUT_MS;
    *microsPerByte = 0;
    if (tcgetattr(fd, &t) < 0) {
        return;
    }
    /* VTIME 0 with VMIN 0 asks for what is there already; with VMIN above 0
     * it would wait for good, which no reply may. */
    if (t.c_cc[VTIME] != 0 || t.c_cc[VMIN] == 0) {
        *timeoutMs = (int)t.c_cc[VTIME] * 100;
    }
    long baud = baudOf(cfgetispeed(&t));
    if (baud > 0) {
        *microsPerByte = (int)((bitsPerCharacter(&t) * 1000000L + baud - 1) / baud);
    }
}

static void startWait(NdiLineWait* wait, int fd)
{
    int timeoutMs, microsPerByte;
    ndiSerialLineTiming(fd, &timeoutMs, &microsPerByte);
    ndiLineWaitInit(wait, fd, 0, -1, timeoutMs, microsPerByte);
}

int ndiSerialWrite(int fd, const char* data, int n)
{
    NdiLineWait wait;
    startWait(&wait, fd);
    return ndiLineWaitWrite(&wait, data, n);
}

int ndiSerialReadReply(int fd, char* buffer, int capacity, int binary)
{
    NdiLineWait wait;
    startWait(&wait, fd);
    return ndiLineWaitRead(&wait, buffer, capacity, binary);
}

int ndiSerialRead(int fd, char* buffer, int capacity, int binary, int* extra)
{
    (void)extra; /* kept for callers of the public signature; nothing uses it */
    return ndiSerialReadReply(fd, buffer, capacity, binary);
}

int ndiSerialSleep(int fd, int milliseconds)
{
    (void)fd;
    while (milliseconds > 0) {
        int step = milliseconds > 500 ? 500 : milliseconds;
        ndiSleepMilliseconds(step);
        milliseconds -= step;
    }
    return 0;
}

const char* ndiSerialDeviceName(int i)
{
    static const char* const names[] = {
        "/dev/ttyS0",   "/dev/ttyS1",   "/dev/ttyUSB0", "/dev/ttyUSB1",
        "/dev/ttyUSB2", "/dev/ttyUSB3", "/dev/ttyUSB4", "/dev/ttyUSB5",
    };
    if (i < 0 || i >= (int)(sizeof names / sizeof names[0])) {
        return NULL;
    }
    return names[i];
}
