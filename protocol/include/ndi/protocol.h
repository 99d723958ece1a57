/* Host side of the NDI Combined API: the connection handle, the command
 * engine, the serial and TCP transports and the number and pose helpers.
 *
 * Every function has C linkage. Results: status results are 0 for success
 * and -1 for failure; byte counts are negative for a failure and, on a
 * serial line, 0 when no reply came within the line's time-out; the probe
 * returns 0 or a library error code; the reply accessors return 0 valid,
 * 1 disabled or not found, 2 missing, 3 unoccupied. The network functions
 * and thread mode's synchronisation keep results of their own (the network
 * ones 1 for success, 0 for failure or nothing done): each says so below.
 * The last error of a connection is kept in its handle and, when a
 * callback is set, reported through it on the calling thread. A handle's
 * buffers are allocated when it opens, so a command exchange allocates
 * nothing. */
#ifndef NDI_PROTOCOL_H
#define NDI_PROTOCOL_H

#include <pthread.h>
#include <stdarg.h>

#include "capture.h"
#include "state.h"
#include "upload.h"

#ifdef __cplusplus
extern "C" {
#endif

// The library is built with hidden symbols; what is declared here is its
// interface, also to programs that load it as part of a shared library.
#if defined(__GNUC__)
#pragma GCC visibility push(default)
#endif

/* The longest reply the library reads, in bytes: a binary tracking reply
 * (BX) for all 24 port handles a reply can hold, each with every field the
 * library asks for (options 0x0001, 0x0002, 0x0004, 0x0008, 0x1000; 0x0800
 * adds no field), every count at the most the protocol allows:
 *
 *   header: 0xC4 0xA5, length, header CRC                         6
 *   number of port handles                                        1
 *   per handle (24 x 310 = 7440):
 *     port handle, handle status                                  2
 *     0x0001: 8 floats of pose, port status, frame number    32 + 4 + 4
 *     0x0002: tool information and marker information            11
 *     0x0004: stray status and 3 floats                        1 + 12
 *     0x0008: marker count, out-of-volume bytes for 20 markers,
 *             3 floats per marker                          1 + 3 + 240
 *   0x1000: stray count (a signed byte: at most 127 strays),
 *           16 out-of-volume bytes, 3 floats per stray  1 + 16 + 1524
 *   system status                                                 2
 *   body CRC                                                      2
 *                                                    total     8992
 *
 * 20 markers is the most a tool can have: its marker information holds a
 * nibble for each of 20. The text tracking reply (TX) is shorter whatever
 * it carries: per handle a line of 2 + 51 + 8 + 8 + 22 + 21 + 1 = 113
 * characters (handle, pose, port status, frame number, tool information
 * with a character per marker, single stray, line feed), and 2 + 24 x 113
 * + (2 + 64 + 255 x 21 + 1) + 4 + 4 + 1 = 8145 with the most strays a 2-digit
 * hexadecimal count can give. The port-handle replies are far shorter (PHSR
 * 2 + 24 x 5 + 5 = 127 bytes). A reply longer than this is an error
 * (NDI_ERR_READ), never an overflow. */
#define NDI_MAX_REPLY_LENGTH 8992

/* Command buffer, raw reply buffer and reply text are this size each: the
 * longest reply and the NUL that always fits behind it. */
#define NDI_BUFFER_SIZE (NDI_MAX_REPLY_LENGTH + 1)

/* Device error codes arrive in "ERROR" replies as two hex digits; the
 * library's own codes have a non-zero high byte. */
#define NDI_OKAY 0x00
#define NDI_ERR_CRC 0x100
#define NDI_ERR_OPEN 0x200
#define NDI_ERR_COMM 0x300
#define NDI_ERR_TIMEOUT 0x400
#define NDI_ERR_WRITE 0x500
#define NDI_ERR_READ 0x600
#define NDI_ERR_RESET 0x700
#define NDI_ERR_PROBE 0x800

/* Reported for an "ERROR" reply whose code reads as 0: nothing after
 * "ERROR", a first character that is no hex digit, or 00. The device refused
 * the command, and 0 would read as success. Any other reply "ERROR" gives
 * the value of its two characters read as hex, up to the first that is no
 * hex digit ("ERROR1Z" gives 0x01). Its text is "Unrecognized error code". */
#define NDI_ERR_UNRECOGNIZED_DEVICE_ERROR 0xF2

typedef void (*NdiErrorCallback)(int code, char* message, void* data);

/* Synchronisation objects of thread mode, opaque to callers. */
typedef pthread_mutex_t* NdiMutex;
typedef struct NdiEventRecord* NdiEvent;
typedef pthread_t NdiThread;

/* One open connection to a measurement system, over a serial line or TCP.
 * Exactly one of DeviceHandle and Socket is valid. */
struct NdiConnection {
    int DeviceHandle;       /* serial descriptor; -1 on a network connection */
    char* SerialDeviceName; /* owned copy of the device path; null on TCP */
    int Socket;             /* connected TCP socket; -1 on a serial line */
    char* Hostname;         /* owned copy of the host text; null on serial */
    int Port;               /* TCP port; -1 on a serial line */
    int SocketError;        /* always 0: no operation of the library sets it */

    char* CommandBuffer; /* last command as sent, with CRC, CR and NUL */
    char* ReplyBuffer;   /* last reply exactly as received */

    int TrackingActive; /* from TSTART until TSTOP, INIT or a reset */

    /* Thread mode: a background thread repeats the tracking command. */
    int ThreadMode;
    NdiThread PollThread;
    NdiMutex PollMutex;   /* the line and the thread's gate, for one exchange */
    NdiMutex ResultMutex; /* guards PollResult, PollResultLength, PollError */
    NdiEvent ResultEvent;
    char* PollCommand;
    char* PollReply;
    char* PollResult;
    int PollResultLength; /* bytes in PollResult: binary replies hold NULs */
    int PollBinary;
    int PollError;

    char* ReplyText; /* checked reply without CRC and CR; ndiCommand's result */
    int LastError;
    NdiErrorCallback ErrorCallback;
    void* ErrorCallbackData;

    NdiCaptureAreas Capture;

    /* The background thread waits on it with PollMutex until tracking runs
     * with a tracking command to repeat, or thread mode goes off. */
    pthread_cond_t* PollGate;

    /* Private to the library, set by the open functions: the operations of
     * the connection's transport, and the settings a serial line had before
     * it was opened, given back when it closes (null on TCP). */
    const struct NdiLineOperations* LineOperations;
    struct NdiSavedLineSettings* SavedLineSettings;
    /* Private to the library, set by the open functions: what
     * ndiCancelReplies signals (null on a record filled in by hand). */
    struct NdiReplyCancel* ReplyCancel;

    /* Private to the library: non-zero once an exchange has read its whole
     * reply and nothing since has failed, so that the line holds nothing a
     * command could take for its reply. Zero (as the open functions leave
     * it) makes the next exchange discard whatever input is waiting. */
    int LineInStep;

    /* Private to the library, kept by the capture of BX and TX replies: for
     * each port handle byte, 1 + the slot that holds it in BxHandles or
     * TxHandles, 0 when the last reply did not carry it. The accessors look
     * handles up here instead of walking the slots. */
    unsigned char BxSlotOfHandle[256];
    unsigned char TxSlotOfHandle[256];
};

/* ---- Connection handle and command engine ---- */

NdiConnection* ndiOpenSerial(const char* device);
NdiConnection* ndiOpenNetwork(const char* host, int port);
void ndiCloseSerial(NdiConnection* h);
void ndiCloseNetwork(NdiConnection* h);

/* One exchange: format (printf rules) the command without CRC and carriage
 * return, send it, read and check the reply. A null format resets the
 * measurement system with a break. Always returns the handle's ReplyText;
 * tell success from failure with ndiGetError. */
char* ndiCommand(NdiConnection* h, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
char* ndiCommandVA(NdiConnection* h, const char* format, va_list args)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 0)))
#endif
    ;

/* Ends, for good, every wait of the connection for its device: a command
 * waiting for its reply (or for the line to take its bytes) returns at once
 * with NDI_ERR_TIMEOUT, and every later command fails at once the same way
 * without sending anything, until the connection is closed. Closing works
 * as always and frees everything. This is how a caller that is stopping
 * (Ctrl-C, the end of a run) gets its tracking thread out of a pending read
 * before it closes the connection.
 *
 * Callable from any thread and from a signal handler (it only writes to a
 * descriptor and, on a network connection, shuts the reading side of the
 * socket), without holding any lock the commands are sent under. It must
 * not run concurrently with or after ndiCloseSerial or ndiCloseNetwork on
 * the same handle. Does nothing on a null handle. */
void ndiCancelReplies(NdiConnection* h);

int ndiGetError(NdiConnection* h);
const char* ndiErrorString(int code);
void ndiSetErrorCallback(NdiConnection* h, NdiErrorCallback callback, void* data);
NdiErrorCallback ndiGetErrorCallback(NdiConnection* h);
void* ndiGetErrorCallbackData(NdiConnection* h);
/* Bounds the wait for each whole reply on a network connection: 1 when set,
 * 0 when milliseconds is 0 or less, the socket refused it, or the connection
 * is a serial line (ndiSerialTimeout sets that on the descriptor). A reply
 * that is not complete in time is NDI_ERR_TIMEOUT, as on a serial line.
 * Until it is set, a reply gets 5000 ms. */
int ndiTimeoutSocket(NdiConnection* h, int milliseconds);

int ndiGetDeviceHandle(NdiConnection* h);
char* ndiGetSerialDeviceName(NdiConnection* h);
int ndiGetSocket(NdiConnection* h);
char* ndiGetHostname(NdiConnection* h);
int ndiGetPort(NdiConnection* h);
/* Always 0: SocketError is kept for callers that read it. */
int ndiGetSocketError(NdiConnection* h);
int ndiGetThreadMode(NdiConnection* h);

/* Thread mode: while tracking runs (from TSTART until TSTOP, INIT or a
 * reset) a background thread repeats the last TX, BX or GX command as fast
 * as the device answers; ndiCommand answers those commands from its latest
 * reply and holds the thread off the line for every other command. While
 * tracking is off, and after TSTART until the first tracking command, the
 * thread waits without touching the line. Nothing stays locked from one call
 * to the next, so successive calls on a handle may come from different
 * threads (one call at a time). The thread's first failed exchange is the
 * next tracking command's error and ends the thread; switch thread mode off
 * and on again to restart it. Switching to the current state does nothing.
 * Switching on fails, leaving thread mode off (see ndiGetThreadMode) and the
 * handle working without it, when the thread or its buffers or
 * synchronisation objects cannot be created. Closing a handle switches
 * thread mode off first. */
void ndiSetThreadMode(NdiConnection* h, int on);

/* Thread mode's synchronisation: heap-allocated POSIX mutexes, auto-reset
 * events (a wait consumes the signal; 0 signalled, 1 timed out; a negative
 * time waits without limit) and threads (0 when creation failed). */
NdiMutex ndiMutexCreate(void);
void ndiMutexDestroy(NdiMutex mutex);
int ndiMutexLock(NdiMutex mutex);
int ndiMutexUnlock(NdiMutex mutex);
NdiEvent ndiEventCreate(void);
void ndiEventDestroy(NdiEvent event);
int ndiEventSignal(NdiEvent event);
int ndiEventWait(NdiEvent event, int milliseconds);
NdiThread ndiThreadSplit(void* (*function)(void*), void* argument);
int ndiThreadJoin(NdiThread thread);

/* Running CRC-16/ARC (reflected 0x8005, initial value 0): pass 0 to start
 * and the previous result to continue over more bytes. */
unsigned int ndiCRC16(unsigned int crc, const void* data, int n);

/* ---- Serial transport ---- */

/* The descriptor, or -1. The line is locked against every other opener and
 * made raw; ndiSerialClose gives it back with the settings it had, however
 * many lines are open and from whichever threads. */
int ndiSerialOpen(const char* device);
void ndiSerialClose(int fd);
/* 1 when DSR is asserted or cannot be read, 0 when it is clear. */
int ndiSerialCheckDSR(int fd);
int ndiSerialBreak(int fd);
int ndiSerialFlush(int fd, int which);
int ndiSerialComm(int fd, int baud, const char* mode, int handshake);
int ndiSerialTimeout(int fd, int milliseconds);
/* All n bytes, fewer when the line takes no more within its time-out (at
 * least a second, plus the bytes' time on the wire), or -1. */
int ndiSerialWrite(int fd, const char* data, int n);
/* Bytes of one reply, 0 when it was not complete within the line's time-out
 * (VTIME, for the whole reply, plus the time its bytes take on the wire at
 * the line's speed), -1 on failure. extra is accepted and ignored. */
int ndiSerialRead(int fd, char* buffer, int capacity, int binary, int* extra);
int ndiSerialSleep(int fd, int milliseconds);
const char* ndiSerialDeviceName(int i);
/* 0 when a measurement system answers on device, else a library error code. */
int ndiSerialProbe(const char* device);

/* ---- Network transport ---- */

/* 1 and *s set when connected; 0, and *s untouched, on failure. */
int ndiSocketOpen(const char* host, int port, int* s);
void ndiSocketClose(int s);
/* Discards input already received (which 1 or 3); returns 1. */
int ndiSocketFlush(int s, int which);
/* Sets the receive time-out: 1 when set, 0 when milliseconds is 0 or less
 * (nothing changed) or the socket refused it. */
int ndiSocketTimeout(int s, int milliseconds);
/* All n bytes, fewer when the socket takes no more within its time-out (at
 * least a second), or -1. */
int ndiSocketWrite(int s, const char* data, int n);
/* Bytes of one reply, or -1 on failure, on the peer's close and when the
 * reply is not complete within the receive time-out (5000 ms when none was
 * set). extra is accepted and ignored. */
int ndiSocketRead(int s, char* buffer, int capacity, int binary, int* extra);
/* Returns 1; the socket is not used. */
int ndiSocketSleep(int s, int milliseconds);

/* ---- Numbers and poses ---- */

unsigned long ndiHexToUnsignedLong(const char* text, int n);
unsigned int ndiHexToUnsignedInt(const char* text, int n);
long ndiSignedToLong(const char* text, int n);
char* ndiHexEncode(char* out, const void* data, int n);
void* ndiHexDecode(void* out, const char* text, int n);

void ndiTransformToMatrixf(const float transform[8], float matrix[16]);
void ndiTransformToMatrixfd(const float transform[8], double matrix[16]);
void ndiTransformToMatrixd(const double transform[8], double matrix[16]);
void ndiAnglesFromMatrixf(float angles[3], const float matrix[16]);
void ndiAnglesFromMatrixd(double angles[3], const double matrix[16]);
void ndiCoordsFromMatrixf(float coords[3], const float matrix[16]);
void ndiCoordsFromMatrixd(double coords[3], const double matrix[16]);
void ndiRelativeTransform(const double a[8], const double b[8], double out[8]);

#if defined(__GNUC__)
#pragma GCC visibility pop
#endif

#ifdef __cplusplus
}
#endif

#endif
