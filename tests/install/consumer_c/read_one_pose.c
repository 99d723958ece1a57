/* Built with pkg-config against an installed protocol library (the shared
 * one): connects to HOST PORT, enables the system's wired tools, starts
 * tracking and prints the first pose it reads. */
#define _POSIX_C_SOURCE 200809L

#include <ndi/protocol.h>

#include <stdio.h>
#include <stdlib.h>
#include <time.h>

static int failed(NdiConnection* h, const char* what)
{
    int error = ndiGetError(h);
    if (error == NDI_OKAY) {
        return 0;
    }
    fprintf(stderr, "%s: %s\n", what, ndiErrorString(error));
    return 1;
}

/* PINIT or PENA for every handle a PHSR list names. */
static int forEachListed(NdiConnection* h, int listOption, int enable)
{
    int handles[NDI_MAX_HANDLES];
    int count;
    int i;

    ndiCommand(h, "PHSR:%02X", listOption);
    if (failed(h, "PHSR")) {
        return -1;
    }
    count = ndiGetPHSRNumberOfHandles(h);
    for (i = 0; i < count && i < NDI_MAX_HANDLES; ++i) {
        handles[i] = ndiGetPHSRHandle(h, i);
    }
    for (i = 0; i < count && i < NDI_MAX_HANDLES; ++i) {
        if (enable) {
            ndiCommand(h, "PENA:%02X%c", handles[i], 'D');
        } else {
            ndiCommand(h, "PINIT:%02X", handles[i]);
        }
        if (failed(h, enable ? "PENA" : "PINIT")) {
            return -1;
        }
    }
    return 0;
}

int main(int argc, char** argv)
{
    const struct timespec pause = {0, 10 * 1000000L};
    NdiConnection* h;
    int status = 1;
    int attempt;

    if (argc != 3) {
        fprintf(stderr, "usage: read_one_pose HOST PORT\n");
        return 2;
    }
    h = ndiOpenNetwork(argv[1], atoi(argv[2]));
    if (h == NULL) {
        fprintf(stderr, "cannot connect to %s:%s\n", argv[1], argv[2]);
        return 1;
    }
    ndiCommand(h, "INIT:");
    if (failed(h, "INIT") || forEachListed(h, 0x02, 0) != 0 || forEachListed(h, 0x03, 1) != 0) {
        goto close;
    }
    ndiCommand(h, "TSTART:");
    if (failed(h, "TSTART")) {
        goto close;
    }
    /* A tool may be out of view for a moment: a few hundred tries, never
     * an endless wait. */
    for (attempt = 0; attempt < 300 && status != 0; ++attempt) {
        int slot;
        ndiCommand(h, "BX:0801");
        if (failed(h, "BX")) {
            break;
        }
        for (slot = 0; slot < h->Capture.BxHandleCount && status != 0; ++slot) {
            float pose[8];
            int handle = h->Capture.BxHandles[slot];
            if (ndiGetBXTransform(h, handle, pose) == 0) {
                printf("pose handle %02X frame %u position %.2f %.2f %.2f\n", handle,
                       ndiGetBXFrame(h, handle), pose[4], pose[5], pose[6]);
                status = 0;
            }
        }
        if (status != 0) {
            nanosleep(&pause, NULL);
        }
    }
    if (status != 0) {
        fprintf(stderr, "no pose read\n");
    }
    ndiCommand(h, "TSTOP:");
close:
    ndiCloseNetwork(h);
    return status;
}
