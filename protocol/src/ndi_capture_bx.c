/* Capture of the binary tracking reply. Little-endian throughout; the header
 * and body CRCs have been checked before the reply gets here. */
#include "ndi_capture_replies.h"

#define BX_HEADER_SIZE 6

/* A block of marker positions as both a tool's markers and the passive
 * strays arrive: a signed count byte, ceil(count / 8) bytes of out-of-volume
 * bits, then x, y, z floats per marker. Keeps at most maxKept positions and
 * maxFlags flag bytes (none when the outputs are null) and steps over the
 * rest, so that the next field is read in step. Returns the number of
 * positions kept, or -1 when the reply ends inside the block, in which case
 * nothing is written. */
static int captureMarkerBlock(NdiReplyCursor* c, unsigned char* flagsOut, int maxFlags,
                              float* positionsOut, int maxKept)
{
    unsigned char raw;
    if (!ndiCursorU8(c, &raw)) {
        return -1;
    }
    int reported = (signed char)raw;
    if (reported < 0) {
        reported = 0;
    }
    int kept = reported < maxKept ? reported : maxKept;
    int flags = (reported + 7) / 8;
    int keptFlags = flags < maxFlags ? flags : maxFlags;
    if (ndiCursorRemaining(c) < flags + 12 * reported) {
        return -1;
    }
    if (flagsOut == 0 || positionsOut == 0) {
        ndiCursorBytes(c, 0, flags + 12 * reported);
        return kept;
    }
    memset(flagsOut, 0, (size_t)maxFlags);
    ndiCursorBytes(c, flagsOut, keptFlags);
    ndiCursorBytes(c, 0, flags - keptFlags);
    ndiCursorFloats(c, positionsOut, 3 * kept);
    ndiCursorBytes(c, 0, 12 * (reported - kept));
    return kept;
}

/* Reads one port handle's record into slot (or steps over it when slot is
 * -1). Returns 0 when the reply ends inside the record. */
static int captureHandle(NdiCaptureAreas* a, unsigned int option, NdiReplyCursor* c, int slot)
{
    unsigned char handle, status;
    if (!ndiCursorU8(c, &handle) || !ndiCursorU8(c, &status)) {
        return 0;
    }
    if (slot >= 0) {
        /* The slot may have held another tool: none of its fields stay but
         * the pose, which a missing tool reports as it was (with result 2). */
        a->BxHandles[slot] = handle;
        a->BxHandlesStatus[slot] = status;
        a->BxPortStatus[slot] = 0;
        a->BxFrameNumber[slot] = 0;
        memset(a->BxToolMarkerInformation[slot], 0, sizeof a->BxToolMarkerInformation[slot]);
        a->BxActiveSingleStrayMarkerStatus[slot] = 0;
        memset(a->BxActiveSingleStrayMarkerPosition[slot], 0,
               sizeof a->BxActiveSingleStrayMarkerPosition[slot]);
        a->Bx3DMarkerCount[slot] = 0;
        memset(a->Bx3DMarkerOutOfVolume[slot], 0, sizeof a->Bx3DMarkerOutOfVolume[slot]);
        if (!(option & 0x0001)) {
            memset(a->BxTransforms[slot], 0, sizeof a->BxTransforms[slot]);
        }
    }
    if (status == 0x04) {
        return 1; /* disabled: nothing else follows */
    }

    if (option & 0x0001) {
        unsigned int portStatus, frame;
        if (status != 0x02 && !ndiCursorFloats(c, slot >= 0 ? a->BxTransforms[slot] : 0, 8)) {
            return 0;
        }
        if (!ndiCursorU32(c, &portStatus) || !ndiCursorU32(c, &frame)) {
            return 0;
        }
        if (slot >= 0) {
            a->BxPortStatus[slot] = portStatus;
            a->BxFrameNumber[slot] = frame;
        }
    }
    if (option & 0x0002) {
        if (!ndiCursorBytes(c, slot >= 0 ? a->BxToolMarkerInformation[slot] : 0, 11)) {
            return 0;
        }
    }
    if (option & 0x0004) {
        unsigned char strayStatus;
        if (!ndiCursorU8(c, &strayStatus)) {
            return 0;
        }
        if (slot >= 0) {
            a->BxActiveSingleStrayMarkerStatus[slot] = strayStatus;
        }
        if (strayStatus != 0 &&
            !ndiCursorFloats(c, slot >= 0 ? a->BxActiveSingleStrayMarkerPosition[slot] : 0, 3)) {
            return 0;
        }
    }
    if (option & 0x0008) {
        int kept = captureMarkerBlock(c, slot >= 0 ? a->Bx3DMarkerOutOfVolume[slot] : 0,
                                      (int)sizeof a->Bx3DMarkerOutOfVolume[0],
                                      slot >= 0 ? &a->Bx3DMarkerPosition[slot][0][0] : 0,
                                      NDI_MAX_BX_MARKERS);
        if (kept < 0) {
            return 0;
        }
        if (slot >= 0) {
            /* The count says how many positions the slot holds, so that it
             * can index them. */
            a->Bx3DMarkerCount[slot] = (signed char)kept;
        }
    }
    return 1;
}

static int capturePassiveStrays(NdiCaptureAreas* a, NdiReplyCursor* c)
{
    int kept = captureMarkerBlock(c, a->BxPassiveStrayOutOfVolume,
                                  (int)sizeof a->BxPassiveStrayOutOfVolume,
                                  &a->BxPassiveStrayPosition[0][0], NDI_MAX_BX_PASSIVE_STRAYS);
    if (kept < 0) {
        return 0;
    }
    a->BxPassiveStrayCount = kept;
    return 1;
}

void ndiCaptureBX(NdiCaptureAreas* a, unsigned int option, NdiReplyCursor* c)
{
    unsigned char magic0, magic1;
    if (!ndiCursorU8(c, &magic0) || !ndiCursorU8(c, &magic1) || magic0 != 0xC4 || magic1 != 0xA5) {
        return;
    }

    /* Whatever this reply does not deliver in full must not be shown from
     * an older one. */
    a->BxHandleCount = 0;
    if (option & 0x1000) {
        a->BxPassiveStrayCount = 0;
    }

    unsigned int length, headerCrc;
    if (!ndiCursorU16(c, &length)) {
        return;
    }
    a->BxReplyLength = (unsigned short)length;
    if (!ndiCursorU16(c, &headerCrc)) {
        return;
    }
    /* The body ends where the header says or where the bytes end, whichever
     * comes first. */
    if ((long)BX_HEADER_SIZE + (long)length < (long)c->length) {
        c->length = BX_HEADER_SIZE + (int)length;
    }

    unsigned char count;
    if (!ndiCursorU8(c, &count)) {
        return;
    }
    int entries = 0;
    for (int i = 0; i < count; ++i) {
        if (!captureHandle(a, option, c, i < NDI_MAX_HANDLES ? i : -1)) {
            break;
        }
        ++entries;
        if (entries <= NDI_MAX_HANDLES) {
            a->BxHandleCount = (unsigned char)entries;
        }
    }
    if (entries < count) {
        return; /* cut inside a handle: nothing after it is in step */
    }

    if ((option & 0x1000) && !capturePassiveStrays(a, c)) {
        return;
    }
    unsigned int systemStatus;
    if (ndiCursorU16(c, &systemStatus)) {
        a->BxSystemStatus = (int)systemStatus;
    }
}
