/* The command engine: one Combined API exchange per call. */
#include <ndi/protocol.h>
#include "ndi_capture_internal.h"
#include "ndi_line_internal.h"
#include "ndi_sync_internal.h"

#include <stdio.h>
#include <string.h>

#define NDI_INIT_PAUSE_MS 100
#define NDI_COMM_PAUSE_MS 100
#define NDI_POLL_WAIT_MS 5000

static void reportError(NdiConnection* h, int code)
{
    h->LastError = code;
    if (code != 0 && h->ErrorCallback != NULL) {
        h->ErrorCallback(code, (char*)ndiLineErrorText(h, code), h->ErrorCallbackData);
    }
}

/* After a reply that did not check out, or a line the host could not
 * follow, the line may still hold bytes of it (a garbled length cuts a
 * binary reply short): the next exchange discards what is waiting first.
 * In thread mode the background thread reads the flag under PollMutex. */
static void distrustLine(NdiConnection* h)
{
    if (h->ThreadMode) {
        ndiMutexLock(h->PollMutex);
        h->LineInStep = 0;
        ndiMutexUnlock(h->PollMutex);
    } else {
        h->LineInStep = 0;
    }
}

static int nameIs(const char* command, int nameLength, const char* name)
{
    return (int)strlen(name) == nameLength && memcmp(command, name, (size_t)nameLength) == 0;
}

static const int convert_baud[8] = {9600, 14400, 19200, 38400, 57600, 115200, 921600, 1228739};

/* The measurement system has taken the new line settings: follow it. The
 * parameters are single digits at fixed places after "COMM:"; places past
 * the end of the command text count as absent. */
static void ndiCOMMHelper(NdiConnection* h, const char* command, int length)
{
    char digit[10];
    for (int i = 5; i < 10; i++) {
        digit[i] = i < length ? command[i] : '\0';
    }
    int rate = 9600;
    if (digit[5] >= '0' && digit[5] <= '7') {
        rate = convert_baud[digit[5] - '0'];
    } else if (digit[5] == 'A') {
        rate = 230400;
    }
    char mode[4];
    mode[0] = digit[6] == '1' ? '7' : '8';
    mode[1] = digit[7] == '1' ? 'O' : digit[7] == '2' ? 'E' : 'N';
    mode[2] = digit[8] == '1' ? '2' : '1';
    mode[3] = '\0';
    int handshake = digit[9] == '1';

    ndiSerialSleep(h->DeviceHandle, NDI_COMM_PAUSE_MS);
    if (ndiSerialComm(h->DeviceHandle, rate, mode, handshake) != 0) {
        distrustLine(h);
        reportError(h, NDI_ERR_COMM);
    }
}

/* A break returns the measurement system to 9600 baud 8N1 and makes it
 * answer "RESETBE6F". */
static char* resetExchange(NdiConnection* h)
{
    /* In thread mode the break shares the line with the background thread;
     * with tracking off afterwards, the thread waits once the line is free. */
    const int threadMode = h->ThreadMode;
    if (threadMode) {
        ndiMutexLock(h->PollMutex);
    }
    h->TrackingActive = 0;
    ndiLineOf(h)->reset(h);
    int n = ndiLineRead(h, h->ReplyBuffer, NDI_READ_LIMIT, 0);
    h->LineInStep = n >= 8 && memcmp(h->ReplyBuffer, "RESETBE6", 8) == 0;
    if (threadMode) {
        ndiMutexUnlock(h->PollMutex);
    }
    if (n <= 0 && ndiLineCancelled(h)) {
        h->ReplyBuffer[0] = '\0';
        reportError(h, NDI_ERR_TIMEOUT);
        return h->ReplyText;
    }
    if (n < 8 || memcmp(h->ReplyBuffer, "RESETBE6", 8) != 0) {
        if (n > 0) {
            h->ReplyBuffer[n] = '\0';
        }
        reportError(h, NDI_ERR_RESET);
        return h->ReplyText;
    }
    h->ReplyBuffer[n] = '\0';
    memcpy(h->ReplyText, h->ReplyBuffer, (size_t)(n - 5));
    h->ReplyText[n - 5] = '\0';
    return h->ReplyText;
}

static char* replyFailedCheck(NdiConnection* h)
{
    distrustLine(h);
    reportError(h, NDI_ERR_CRC);
    return h->ReplyText;
}

/* Checks a received reply of n bytes in ReplyBuffer, turns an "ERROR"
 * reply into its code and carries out the successful reply's side effects. */
static char* checkReply(NdiConnection* h, const char* command, int length, int nameLength,
                        int binary, int n)
{
    const char* reply = h->ReplyBuffer;
    int payload;
    int textCheck = !binary || (n >= 5 && memcmp(reply, "ERROR", 5) == 0 && reply[n - 1] == '\r');
    if (textCheck) {
        payload = n - 5;
        if (payload < 0) {
            return replyFailedCheck(h);
        }
        memcpy(h->ReplyText, reply, (size_t)payload);
        h->ReplyText[payload] = '\0';
        if (ndiCRC16(0, reply, payload) != (unsigned int)ndiHexToUnsignedLong(reply + payload, 4)) {
            return replyFailedCheck(h);
        }
    } else {
        payload = n - 2;
        if (payload < 0) {
            return replyFailedCheck(h);
        }
        memcpy(h->ReplyText, reply, (size_t)payload);
        h->ReplyText[payload] = '\0'; /* not part of the reply: a guard for string use */
        const unsigned char* tail = (const unsigned char*)reply + payload;
        unsigned int expected = (unsigned int)tail[0] | ((unsigned int)tail[1] << 8);
        if (ndiCRC16(0, reply, payload) != expected) {
            return replyFailedCheck(h);
        }
    }

    if (payload >= 5 && memcmp(h->ReplyText, "ERROR", 5) == 0) {
        /* An "ERROR" reply is a failure whatever its digits say: one whose
         * code reads as 0 would otherwise pass for success. */
        int digits = payload - 5 < 2 ? payload - 5 : 2;
        int code = (int)ndiHexToUnsignedLong(h->ReplyText + 5, digits);
        reportError(h, code != 0 ? code : NDI_ERR_UNRECOGNIZED_DEVICE_ERROR);
        return h->ReplyText;
    }

    if (nameIs(command, nameLength, "COMM")) {
        ndiCOMMHelper(h, command, length);
    } else if (nameIs(command, nameLength, "INIT")) {
        ndiLineSleep(h, NDI_INIT_PAUSE_MS);
    } else if (nameIs(command, nameLength, "TX") || nameIs(command, nameLength, "BX") ||
               nameIs(command, nameLength, "GX") || nameIs(command, nameLength, "PSTAT") ||
               nameIs(command, nameLength, "SSTAT") || nameIs(command, nameLength, "IRCHK") ||
               nameIs(command, nameLength, "PHINF") || nameIs(command, nameLength, "PHRQ") ||
               nameIs(command, nameLength, "PHSR")) {
        ndiCaptureReply(h, command, length, h->ReplyText, payload);
    }
    return h->ReplyText;
}

/* Thread mode while tracking: the background thread repeats the tracking
 * command; take its latest reply instead of talking to the device. */
static char* pollThreadReply(NdiConnection* h, const char* command, int total, int length,
                             int nameLength, int binary)
{
    /* Only this side writes PollCommand, so reading it unlocked is safe. */
    if (strcmp(command, h->PollCommand) != 0) {
        ndiMutexLock(h->PollMutex);
        memcpy(h->PollCommand, command, (size_t)total + 1);
        h->PollBinary = command[0] == 'B';
        ndiConditionWake(h->PollGate);
        ndiMutexUnlock(h->PollMutex);
        /* A cancel ends the thread's exchange, which wakes this wait; the
         * thread then ends and no second result would come. */
        if (ndiEventWait(h->ResultEvent, NDI_POLL_WAIT_MS) != 0 || ndiLineCancelled(h)) {
            reportError(h, NDI_ERR_TIMEOUT);
            return h->ReplyText;
        }
    }
    if (ndiEventWait(h->ResultEvent, NDI_POLL_WAIT_MS) != 0 || ndiLineCancelled(h)) {
        reportError(h, NDI_ERR_TIMEOUT);
        return h->ReplyText;
    }
    ndiMutexLock(h->ResultMutex);
    int n = h->PollResultLength;
    if (n < 0) {
        n = 0;
    } else if (n > NDI_READ_LIMIT) {
        n = NDI_READ_LIMIT;
    }
    memcpy(h->ReplyBuffer, h->PollResult, (size_t)n);
    h->ReplyBuffer[n] = '\0';
    int error = h->PollError;
    ndiMutexUnlock(h->ResultMutex);
    if (error == 0 && n == 0) {
        error = NDI_ERR_TIMEOUT;
    }
    if (error != 0) {
        reportError(h, error);
        return h->ReplyText;
    }
    return checkReply(h, command, length, nameLength, binary, n);
}

/* Tracking commands go out hundreds of times a second, and they and most
 * others are literal text with zero-padded hexadecimal numbers ("BX:%04X"):
 * those are written here at a fraction of vsnprintf's cost. Returns the
 * length, or -1 when the format holds any other conversion or the text does
 * not fit in capacity bytes with its NUL; vsnprintf takes it then. */
static int formatHexOnly(char* out, int capacity, const char* format, va_list args)
{
    int n = 0;
    for (const char* f = format; *f != '\0'; ++f) {
        if (*f != '%') {
            if (n + 1 >= capacity) {
                return -1;
            }
            out[n++] = *f;
            continue;
        }
        if (f[1] != '0' || f[2] < '1' || f[2] > '8' || f[3] != 'X') {
            return -1;
        }
        int width = f[2] - '0';
        unsigned int value = va_arg(args, unsigned int);
        static const char hexDigits[] = "0123456789ABCDEF";
        char reversed[8];
        int digits = 0;
        do {
            reversed[digits++] = hexDigits[value & 0xFu];
            value >>= 4;
        } while (value != 0);
        while (digits < width) {
            reversed[digits++] = '0';
        }
        if (n + digits + 1 > capacity) {
            return -1;
        }
        while (digits > 0) {
            out[n++] = reversed[--digits];
        }
        f += 3;
    }
    out[n] = '\0';
    return n;
}

/* Formats the command into command (NDI_BUFFER_SIZE bytes) with its CRC
 * digits (when its name ends in ':'), carriage return and NUL. Returns the
 * bytes to send, with the text's length and its name's length; -1, and an
 * empty command, when it does not fit: nothing of it may go out then. */
static int formatCommand(char* command, const char* format, va_list args, int* length,
                         int* nameLength)
{
    va_list hexArgs;
    va_copy(hexArgs, args);
    *length = formatHexOnly(command, NDI_BUFFER_SIZE, format, hexArgs);
    va_end(hexArgs);
    if (*length < 0) {
        *length = vsnprintf(command, NDI_BUFFER_SIZE, format, args);
    }
    *nameLength = 0;
    if (*length < 0 || *length >= NDI_BUFFER_SIZE) {
        command[0] = '\0';
        return -1;
    }
    while (*nameLength < *length &&
           ((command[*nameLength] >= 'A' && command[*nameLength] <= 'Z') ||
            (command[*nameLength] >= '0' && command[*nameLength] <= '9'))) {
        ++*nameLength;
    }
    int withCrc = *nameLength < *length && command[*nameLength] == ':';
    if (*length + (withCrc ? 4 : 0) + 2 > NDI_BUFFER_SIZE) {
        command[0] = '\0';
        return -1;
    }
    int total = *length;
    if (withCrc) {
        unsigned int crc = ndiCRC16(0, command, *length);
        const unsigned char crcBytes[2] = {(unsigned char)(crc >> 8), (unsigned char)crc};
        ndiHexEncode(command + total, crcBytes, 2);
        total += 4;
    }
    command[total++] = '\r';
    command[total] = '\0';
    return total;
}

char* ndiCommand(NdiConnection* h, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    char* reply = ndiCommandVA(h, format, args);
    va_end(args);
    return reply;
}

char* ndiCommandVA(NdiConnection* h, const char* format, va_list args)
{
    static char noReply[1];
    if (h == NULL) {
        return noReply;
    }
    h->LastError = 0;
    h->CommandBuffer[0] = '\0';
    h->ReplyBuffer[0] = '\0';
    h->ReplyText[0] = '\0';

    if (h->DeviceHandle == -1 && h->Hostname == NULL && h->Port < 0) {
        reportError(h, NDI_ERR_OPEN);
        return h->ReplyText;
    }
    /* Nothing more goes to a device whose replies were given up. */
    if (ndiLineCancelled(h)) {
        reportError(h, NDI_ERR_TIMEOUT);
        return h->ReplyText;
    }
    if (format == NULL) {
        return resetExchange(h);
    }

    char* command = h->CommandBuffer;
    int length = 0;
    int nameLength = 0;
    int total = formatCommand(command, format, args, &length, &nameLength);
    if (total < 0) {
        reportError(h, NDI_ERR_WRITE);
        return h->ReplyText;
    }

    int binary = nameIs(command, nameLength, "BX") || nameIs(command, nameLength, "GETLOG") ||
                 nameIs(command, nameLength, "VGET");

    int threadMode = h->ThreadMode;
    if (threadMode && h->TrackingActive) {
        if (nameLength == 2 && command[1] == 'X' &&
            (command[0] == 'B' || command[0] == 'G' || command[0] == 'T')) {
            return pollThreadReply(h, command, total, length, nameLength, binary);
        }
    }
    /* In thread mode the line and the thread's gate are shared: hold the
     * background thread off both for this one exchange. None of these
     * changes gives a waiting thread work (TSTART empties PollCommand), so
     * none needs to wake it. */
    if (threadMode) {
        ndiMutexLock(h->PollMutex);
    }
    if (nameIs(command, nameLength, "TSTOP") || nameIs(command, nameLength, "INIT")) {
        h->TrackingActive = 0;
    } else if (nameIs(command, nameLength, "TSTART")) {
        h->TrackingActive = 1;
        if (threadMode) {
            h->PollCommand[0] = '\0';
        }
    }

    int n = 0;
    int error = ndiLineExchange(h, command, total, h->ReplyBuffer, binary, h->ReplyText, &n);
    if (error != 0) {
        h->ReplyText[0] = '\0';
    }
    if (threadMode) {
        ndiMutexUnlock(h->PollMutex);
    }
    if (error != 0) {
        reportError(h, error);
        return h->ReplyText;
    }
    return checkReply(h, command, length, nameLength, binary, n);
}
