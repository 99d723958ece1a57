/* The serial transport's pieces below its public functions: opening and
 * closing with the line's previous settings kept by the caller, and the
 * settings kept for lines opened through the bare-descriptor functions. */
#ifndef NDI_SERIAL_INTERNAL_H
#define NDI_SERIAL_INTERNAL_H

#include <termios.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Opens, locks and configures the line as ndiSerialOpen does, and stores the
 * settings it had before in *saved. Returns the descriptor or -1. */
int ndiSerialOpenSaving(const char* device, struct termios* saved);

/* Restores *saved (when not null), releases the lock and closes. */
void ndiSerialCloseRestoring(int fd, const struct termios* saved);

/* One reply, as ndiSerialRead: within the line's time-out (VTIME) for the
 * whole reply, plus the time its bytes take on the wire. */
int ndiSerialReadReply(int fd, char* buffer, int capacity, int binary);

/* How long the line gives a reply (its VTIME; NDI_DEFAULT_REPLY_TIMEOUT_MS
 * when it has none or cannot be read) and one byte's time on the wire at its
 * speed (0 when the speed is unknown). */
void ndiSerialLineTiming(int fd, int* timeoutMs, int* microsPerByte);

/* Settings to restore for each descriptor opened by ndiSerialOpen; as many
 * lines as are open, from any thread. Keeping fails (-1) only when memory
 * runs out. Taking removes the entry: 1 and *settings filled when fd had one,
 * else 0. */
int ndiSerialKeepSettings(int fd, const struct termios* settings);
int ndiSerialTakeSettings(int fd, struct termios* settings);

#ifdef __cplusplus
}
#endif

#endif
