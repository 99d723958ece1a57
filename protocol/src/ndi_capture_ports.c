/* Capture of the port-handle replies: PHRQ, PHSR and PHINF. */
#include "ndi_capture_replies.h"

void ndiCapturePHRQ(NdiCaptureAreas* a, NdiReplyCursor* c)
{
    ndiCursorCopyText(c, a->PhrqReply, 2, 2);
}

void ndiCapturePHSR(NdiCaptureAreas* a, NdiReplyCursor* c)
{
    ndiCursorCopyText(c, a->PhsrReply, 1284, 1282);
}

static void fill(char* field, const char* text, int n) { memcpy(field, text, (size_t)n); }

void ndiCapturePHINF(NdiCaptureAreas* a, unsigned int option, NdiReplyCursor* c)
{
    if (ndiCursorPeek(c) == 'U') {
        /* An unoccupied port handle: placeholders that read as "no tool". */
        a->PhinfUnoccupied = 3;
        if (option & 0x0001) {
            memset(a->PhinfBasic, 0, sizeof a->PhinfBasic);
            fill(a->PhinfBasic, "00000000            0000000000000", 33);
        }
        if (option & 0x0002) {
            fill(a->PhinfTesting, "00000000", 8);
        }
        if (option & 0x0004) {
            fill(a->PhinfPartNumber, "                    ", 20);
        }
        if (option & 0x0008) {
            fill(a->PhinfAccessories, "00", 2);
        }
        if (option & 0x0010) {
            fill(a->PhinfMarkerType, "00", 2);
        }
        if (option & 0x0020) {
            fill(a->PhinfPortLocation, "00000000000000", 14);
        }
        if (option & 0x0040) {
            fill(a->PhinfGpioStatus, "00", 2);
        }
        return;
    }

    a->PhinfUnoccupied = 0;
    if (option & 0x0001) {
        ndiCursorCopyText(c, a->PhinfBasic, 34, 33);
    }
    if (option & 0x0002) {
        ndiCursorCopyText(c, a->PhinfTesting, 8, 8);
    }
    if (option & 0x0004) {
        ndiCursorCopyText(c, a->PhinfPartNumber, 20, 20);
    }
    if (option & 0x0008) {
        ndiCursorCopyText(c, a->PhinfAccessories, 2, 2);
    }
    if (option & 0x0010) {
        ndiCursorCopyText(c, a->PhinfMarkerType, 2, 2);
    }
    if (option & 0x0020) {
        ndiCursorCopyText(c, a->PhinfPortLocation, 14, 14);
    }
    if (option & 0x0040) {
        ndiCursorCopyText(c, a->PhinfGpioStatus, 2, 2);
    }
}
