/* The settings to give back to lines opened through the bare-descriptor
 * functions, which have no connection record to keep them in. */
#include "ndi_serial_internal.h"

#include <pthread.h>
#include <stdlib.h>

typedef struct KeptSettings {
    int fd;
    struct termios settings;
} KeptSettings;

/* Streams open and close their lines on their own threads, so the list is
 * shared; it grows with the number of open lines, so that no line is ever
 * configured without a way back. */
static pthread_mutex_t keptLock = PTHREAD_MUTEX_INITIALIZER;
static KeptSettings* kept;
static int keptCount;
static int keptCapacity;

static int indexOf(int fd)
{
    for (int i = 0; i < keptCount; i++) {
        if (kept[i].fd == fd) {
            return i;
        }
    }
    return -1;
}

int ndiSerialKeepSettings(int fd, const struct termios* settings)
{
    int result = 0;
    pthread_mutex_lock(&keptLock);
    /* A descriptor closed without ndiSerialClose leaves its entry behind;
     * the line that gets its number now replaces it. */
    int i = indexOf(fd);
    if (i < 0) {
        if (keptCount == keptCapacity) {
            int capacity = keptCapacity > 0 ? keptCapacity * 2 : 4;
            KeptSettings* grown = (KeptSettings*)realloc(kept, (size_t)capacity * sizeof *kept);
            if (grown == NULL) {
                result = -1;
            } else {
                kept = grown;
                keptCapacity = capacity;
            }
        }
        if (result == 0) {
            i = keptCount++;
        }
    }
    if (result == 0) {
        kept[i].fd = fd;
        kept[i].settings = *settings;
    }
    pthread_mutex_unlock(&keptLock);
    return result;
}

int ndiSerialTakeSettings(int fd, struct termios* settings)
{
    pthread_mutex_lock(&keptLock);
    int i = indexOf(fd);
    if (i >= 0) {
        *settings = kept[i].settings;
        kept[i] = kept[--keptCount];
    }
    pthread_mutex_unlock(&keptLock);
    return i >= 0;
}
