/* Capture of the text tracking reply: one line per port handle, then the
 * passive strays and the system status. */
#include "ndi_capture_replies.h"

/* The word MISSING or DISABLED stands in place of a pose or stray text. */
static int poseTextLength(const NdiReplyCursor* c, int full)
{
    switch (ndiCursorPeek(c)) {
    case 'M': return 7;
    case 'D': return 8;
    default: return full;
    }
}

void ndiCaptureTX(NdiCaptureAreas* a, unsigned int option, NdiReplyCursor* c)
{
    int count = (int)ndiCursorHex(c, 2);
    int entries = 0;

    /* Entries beyond the slots are still read, into nowhere, so that the
     * passive strays and the system status after them are found. A reply
     * that ends early holds only the entries that are there: slots beyond it
     * would otherwise show an older reply's poses as current ones. */
    while (entries < count && ndiCursorRemaining(c) > 0) {
        unsigned int handle = ndiCursorHex(c, 2);
        if (ndiCursorPeek(c) == 'U') {
            ndiCursorSkipText(c, 10); /* UNOCCUPIED */
            ndiCursorSkipLineFeed(c);
            --count;
            continue;
        }
        int slot = entries < NDI_MAX_HANDLES ? entries : -1;
        if (slot >= 0) {
            /* The slot may have held another tool: nothing of it stays,
             * also not the fields this option word does not ask for. */
            a->TxHandles[slot] = (unsigned char)handle;
            memset(a->TxTransforms[slot], 0, sizeof a->TxTransforms[slot]);
            memset(a->TxStatus[slot], 0, sizeof a->TxStatus[slot]);
            memset(a->TxFrame[slot], 0, sizeof a->TxFrame[slot]);
            memset(a->TxInformation[slot], 0, sizeof a->TxInformation[slot]);
            memset(a->TxSingleStray[slot], 0, sizeof a->TxSingleStray[slot]);
        }

        if (option & 0x0001) {
            ndiCursorCopyText(c, slot >= 0 ? a->TxTransforms[slot] : 0, 52, poseTextLength(c, 51));
            ndiCursorCopyText(c, slot >= 0 ? a->TxStatus[slot] : 0, 8, 8);
            ndiCursorCopyText(c, slot >= 0 ? a->TxFrame[slot] : 0, 8, 8);
        }
        if (option & 0x0002) {
            ndiCursorCopyText(c, slot >= 0 ? a->TxInformation[slot] : 0, 21, 20);
        }
        if (option & 0x0004) {
            ndiCursorCopyText(c, slot >= 0 ? a->TxSingleStray[slot] : 0, 24, poseTextLength(c, 21));
        }
        ndiCursorSkipLine(c);
        ++entries;
    }
    a->TxHandleCount = entries < NDI_MAX_HANDLES ? entries : NDI_MAX_HANDLES;

    if (option & 0x1000) {
        int reported = (int)ndiCursorHex(c, 2);
        int kept = reported < NDI_MAX_TX_PASSIVE_STRAYS ? reported : NDI_MAX_TX_PASSIVE_STRAYS;
        a->TxPassiveStrayCount = kept;
        if (reported > 0) {
            /* The flags cover every reported stray, one hex digit per four. */
            int flags = (reported + 3) / 4;
            int keptFlags = (kept + 3) / 4;
            int copied =
                ndiCursorCopyText(c, a->TxPassiveStrayOov, 14, keptFlags < 13 ? keptFlags : 13);
            ndiCursorSkipText(c, flags - copied);
            copied = ndiCursorCopyText(c, a->TxPassiveStray, 1052, 21 * kept);
            ndiCursorSkipText(c, 21L * reported - copied);
        } else {
            ndiCursorCopyText(c, a->TxPassiveStrayOov, 14, 0);
            ndiCursorCopyText(c, a->TxPassiveStray, 1052, 0);
        }
    }

    ndiCursorSkipLineFeed(c);
    ndiCursorCopyText(c, a->TxSystemStatus, 4, 4);
}
