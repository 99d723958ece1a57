/* track_tool: the shortest complete use of the protocol library.
 *
 * Opens a measurement system on a serial line or over TCP, initialises it,
 * loads the tools (tool-definition files for optical tools; wired tools
 * announce themselves), starts tracking, prints the pose of every tool for
 * a number of frames, then stops tracking and closes the connection.
 *
 *   track_tool --serial /dev/ttyUSB0 --frames 20
 *   track_tool --network 192.168.1.20 --tool pointer.rom --tool reference.rom
 *
 * Build against the installed library:
 *   cc track_tool.c $(pkg-config --cflags --libs velantor-ndi-protocol)
 */
/* sigaction and nanosleep, also under a strict -std=c11. */
#define _POSIX_C_SOURCE 200809L

#include <ndi/protocol.h>

#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#define DEFAULT_TCP_PORT 8765
#define MAX_TOOL_FILES NDI_MAX_HANDLES

static volatile sig_atomic_t stopRequested = 0;

static void requestStop(int signalNumber)
{
    (void)signalNumber;
    stopRequested = 1;
}

static void usage(FILE* out)
{
    fprintf(out,
            "Usage: track_tool (--serial DEVICE | --network HOST[:PORT]) [--tool FILE]...\n"
            "                  [--frames N]\n"
            "Tracks an NDI measurement system and prints each tool's pose.\n"
            "  --serial DEVICE      serial line of the system, e.g. /dev/ttyUSB0\n"
            "  --network HOST[:PORT] network system (port %d unless given)\n"
            "  --tool FILE          tool-definition file of an optical tool (repeatable);\n"
            "                       wired tools need none\n"
            "  --frames N           frames to print (default 10)\n",
            DEFAULT_TCP_PORT);
}

/* Sends one command and says which one failed, and why, in the device's or
 * the library's words. Returns 0 on success. */
static int command(NdiConnection* h, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

static int command(NdiConnection* h, const char* format, ...)
{
    char sent[64];
    va_list args;
    int error;

    va_start(args, format);
    ndiCommandVA(h, format, args);
    va_end(args);
    error = ndiGetError(h);
    if (error != NDI_OKAY) {
        va_start(args, format);
        vsnprintf(sent, sizeof sent, format, args);
        va_end(args);
        fprintf(stderr, "track_tool: %s failed: %s (0x%02X)\n", sent, ndiErrorString(error), error);
        return -1;
    }
    return 0;
}

/* Loads each tool-definition file into a port handle of its own. */
static int uploadToolFiles(NdiConnection* h, char** files, int count)
{
    int i;
    for (i = 0; i < count; ++i) {
        int handle;
        /* Asks for a handle for a passive optical tool; the asterisks leave
         * the other fields to the system. */
        if (command(h, "PHRQ:*********1****") != 0) {
            return -1;
        }
        handle = ndiGetPHRQHandle(h);
        if (ndiPVWRFromFile(h, handle, files[i]) != 0) {
            int error = ndiGetError(h);
            fprintf(stderr, "track_tool: cannot load %s: %s\n", files[i],
                    error != NDI_OKAY ? ndiErrorString(error) : "the file cannot be read");
            return -1;
        }
        printf("tool %s on port handle %02X\n", files[i], handle);
    }
    return 0;
}

/* What to do with each port handle that a PHSR list names. */
enum HandleStep {
    FREE_HANDLE = 0x01,     /* listed: handles that need freeing */
    INITIALISE_TOOL = 0x02, /* listed: handles that need initialising */
    ENABLE_TOOL = 0x03      /* listed: initialised handles not yet enabled */
};

/* Frees, initialises or enables every port handle the system lists for the
 * step: uploaded optical tools and wired tools alike. */
static int prepareHandles(NdiConnection* h, enum HandleStep step)
{
    int handles[NDI_MAX_HANDLES];
    int count;
    int i;

    if (command(h, "PHSR:%02X", (int)step) != 0) {
        return -1;
    }
    /* The next command replaces the reply the accessors read: copy first. */
    count = ndiGetPHSRNumberOfHandles(h);
    if (count > NDI_MAX_HANDLES) {
        count = NDI_MAX_HANDLES;
    }
    for (i = 0; i < count; ++i) {
        handles[i] = ndiGetPHSRHandle(h, i);
    }
    for (i = 0; i < count; ++i) {
        int failed = 0;
        switch (step) {
        case FREE_HANDLE: failed = command(h, "PHF:%02X", handles[i]); break;
        case INITIALISE_TOOL: failed = command(h, "PINIT:%02X", handles[i]); break;
        case ENABLE_TOOL:
            /* D: a dynamic tool, one that moves. */
            failed = command(h, "PENA:%02X%c", handles[i], 'D');
            break;
        }
        if (failed != 0) {
            return -1;
        }
    }
    return 0;
}

/* Lists the enabled port handles: the tools the tracking replies report. */
static int enabledHandles(NdiConnection* h, int handles[NDI_MAX_HANDLES])
{
    int count;
    int i;

    if (command(h, "PHSR:04") != 0) {
        return -1;
    }
    count = ndiGetPHSRNumberOfHandles(h);
    if (count > NDI_MAX_HANDLES) {
        count = NDI_MAX_HANDLES;
    }
    for (i = 0; i < count; ++i) {
        handles[i] = ndiGetPHSRHandle(h, i);
    }
    return count;
}

static void sleepMilliseconds(long milliseconds)
{
    struct timespec pause;
    pause.tv_sec = milliseconds / 1000;
    pause.tv_nsec = (milliseconds % 1000) * 1000000L;
    nanosleep(&pause, NULL);
}

/* Prints `frames` distinct frames. The system measures at its own rate
 * (20 to 60 Hz and more); asking faster only repeats the last frame, so a
 * repeated frame number is skipped rather than printed twice. */
static int track(NdiConnection* h, const int* handles, int count, int frames)
{
    unsigned int lastFrame = 0;
    int printed = 0;
    int repeats = 0;

    while (printed < frames && !stopRequested) {
        unsigned int frame = 0;
        int i;

        /* 0x0001 asks for each tool's pose, 0x0800 also for the poses the
         * system leaves out by default. */
        if (command(h, "BX:%04X", 0x0801) != 0) {
            return -1;
        }
        for (i = 0; i < count; ++i) {
            unsigned int toolFrame = ndiGetBXFrame(h, handles[i]);
            if (toolFrame > frame) {
                frame = toolFrame;
            }
        }
        if (printed > 0 && frame == lastFrame) {
            /* About two seconds without a new frame: the system has stopped
             * measuring, and waiting longer would only hang. */
            if (++repeats > 1000) {
                fprintf(stderr, "track_tool: the system reports no new frame\n");
                return -1;
            }
            sleepMilliseconds(2);
            continue;
        }
        repeats = 0;
        lastFrame = frame;
        ++printed;

        for (i = 0; i < count; ++i) {
            float pose[8]; /* q0 qx qy qz, x y z in mm, RMS error in mm */
            int state = ndiGetBXTransform(h, handles[i], pose);
            printf("frame %u handle %02X: ", frame, handles[i]);
            if (state == 0) {
                printf("position %.2f %.2f %.2f mm  rotation %.4f %.4f %.4f %.4f  error %.3f mm\n",
                       pose[4], pose[5], pose[6], pose[0], pose[1], pose[2], pose[3], pose[7]);
            } else {
                /* Missing: out of view or not seen. Disabled: not tracked. */
                printf("%s\n", state == 2 ? "missing" : "disabled");
            }
        }
    }
    return 0;
}

int main(int argc, char** argv)
{
    const char* serialDevice = NULL;
    char hostName[256] = "";
    int tcpPort = DEFAULT_TCP_PORT;
    char* toolFiles[MAX_TOOL_FILES];
    int toolCount = 0;
    int frames = 10;
    int handles[NDI_MAX_HANDLES];
    int handleCount;
    int status = 1;
    NdiConnection* h;
    struct sigaction stop;
    int i;

    for (i = 1; i < argc; ++i) {
        const char* option = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : NULL;
        if (strcmp(option, "-h") == 0 || strcmp(option, "--help") == 0) {
            usage(stdout);
            return 0;
        }
        if (value == NULL) {
            fprintf(stderr, "track_tool: %s needs a value (see --help)\n", option);
            return 2;
        }
        ++i;
        if (strcmp(option, "--serial") == 0) {
            serialDevice = value;
        } else if (strcmp(option, "--network") == 0) {
            const char* colon = strrchr(value, ':');
            size_t length = colon != NULL ? (size_t)(colon - value) : strlen(value);
            char* end = NULL;
            if (length == 0 || length >= sizeof hostName) {
                fprintf(stderr, "track_tool: bad address %s\n", value);
                return 2;
            }
            memcpy(hostName, value, length);
            hostName[length] = '\0';
            if (colon != NULL) {
                long port = strtol(colon + 1, &end, 10);
                if (end == colon + 1 || *end != '\0' || port < 1 || port > 65535) {
                    fprintf(stderr, "track_tool: bad port in %s\n", value);
                    return 2;
                }
                tcpPort = (int)port;
            }
        } else if (strcmp(option, "--tool") == 0) {
            if (toolCount == MAX_TOOL_FILES) {
                fprintf(stderr, "track_tool: at most %d tool files\n", MAX_TOOL_FILES);
                return 2;
            }
            toolFiles[toolCount++] = argv[i];
        } else if (strcmp(option, "--frames") == 0) {
            char* end = NULL;
            long n = strtol(value, &end, 10);
            if (end == value || *end != '\0' || n < 1 || n > 1000000) {
                fprintf(stderr, "track_tool: bad frame count %s\n", value);
                return 2;
            }
            frames = (int)n;
        } else {
            fprintf(stderr, "track_tool: unknown option %s (see --help)\n", option);
            return 2;
        }
    }
    if ((serialDevice == NULL) == (hostName[0] == '\0')) {
        fprintf(stderr, "track_tool: give one of --serial and --network (see --help)\n");
        return 2;
    }

    /* Ctrl-C ends the loop, and the system is still stopped and closed
     * properly: a system left tracking refuses the next program's set-up. */
    memset(&stop, 0, sizeof stop);
    stop.sa_handler = requestStop;
    stop.sa_flags = SA_RESTART;
    sigaction(SIGINT, &stop, NULL);
    sigaction(SIGTERM, &stop, NULL);

    h = serialDevice != NULL ? ndiOpenSerial(serialDevice) : ndiOpenNetwork(hostName, tcpPort);
    if (h == NULL) {
        if (serialDevice != NULL) {
            fprintf(stderr, "track_tool: cannot open %s\n", serialDevice);
        } else {
            fprintf(stderr, "track_tool: cannot connect to %s:%d\n", hostName, tcpPort);
        }
        return 1;
    }

    /* A serial line starts at 9600 baud; 115200 with hardware handshake
     * carries a frame of many tools in time. The library follows the speed
     * once the system has acknowledged it. */
    if (serialDevice != NULL && command(h, "COMM:50001") != 0) {
        goto close;
    }
    if (command(h, "INIT:") != 0) {
        goto close;
    }
    /* Handles left over from an earlier program would be tracked as
     * unknown tools. */
    if (prepareHandles(h, FREE_HANDLE) != 0) {
        goto close;
    }
    if (uploadToolFiles(h, toolFiles, toolCount) != 0 || prepareHandles(h, INITIALISE_TOOL) != 0 ||
        prepareHandles(h, ENABLE_TOOL) != 0) {
        goto close;
    }
    handleCount = enabledHandles(h, handles);
    if (handleCount < 0) {
        goto close;
    }
    if (handleCount == 0) {
        fprintf(stderr, "track_tool: no tool to track (optical tools need --tool FILE)\n");
        goto close;
    }

    if (command(h, "TSTART:") != 0) {
        goto close;
    }
    status = track(h, handles, handleCount, frames) == 0 ? 0 : 1;
    if (command(h, "TSTOP:") != 0) {
        status = 1;
    }

close:
    /* Back to 9600 baud, where the next program expects the system. */
    if (serialDevice != NULL) {
        ndiCommand(h, "COMM:00000");
        ndiCloseSerial(h);
    } else {
        ndiCloseNetwork(h);
    }
    return status;
}
