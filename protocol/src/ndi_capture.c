/* The capture step: chooses the reply kind by command name and reads the
 * reply option word from the command text. */
#include "ndi_capture_internal.h"
#include "ndi_capture_replies.h"

#include <string.h>

static int isNameChar(char ch) { return (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9'); }

static int nameIs(const char* command, int nameLength, const char* name)
{
    return nameLength == (int)strlen(name) && memcmp(command, name, (size_t)nameLength) == 0;
}

/* The four hex digits after the name, its separator and skip more characters
 * (the port handle of PHINF). A command whose parameters end before them
 * asks for the default reply. */
static unsigned int optionWord(const char* command, int commandLength, int nameLength, int skip,
                               unsigned int absent)
{
    int pos = nameLength + 1 + skip;
    if (pos >= commandLength) {
        return absent;
    }
    int n = commandLength - pos < 4 ? commandLength - pos : 4;
    return ndiHexToUnsignedInt(command + pos, n);
}

/* Rebuilt after every capture of its reply kind, whatever the capture kept:
 * the index always describes the slots as they are. Filled from the last
 * slot back so that a handle a reply carries twice finds its first slot, as
 * a walk through the slots would. */
static void indexHandles(unsigned char slotOfHandle[256], const unsigned char* handles, int count)
{
    memset(slotOfHandle, 0, 256);
    if (count > NDI_MAX_HANDLES) {
        count = NDI_MAX_HANDLES;
    }
    for (int slot = count - 1; slot >= 0; --slot) {
        slotOfHandle[handles[slot]] = (unsigned char)(slot + 1);
    }
}

void ndiCaptureReply(NdiConnection* h, const char* command, int commandLength, const char* reply,
                     int replyLength)
{
    if (!h || !command || !reply || commandLength <= 0) {
        return;
    }
    int nameLength = 0;
    while (nameLength < commandLength && isNameChar(command[nameLength])) {
        ++nameLength;
    }

    NdiCaptureAreas* a = &h->Capture;
    NdiReplyCursor c;
    ndiCursorInit(&c, reply, replyLength);

    if (nameIs(command, nameLength, "TX")) {
        ndiCaptureTX(a, optionWord(command, commandLength, nameLength, 0, 0x0001), &c);
        indexHandles(h->TxSlotOfHandle, a->TxHandles, a->TxHandleCount);
    } else if (nameIs(command, nameLength, "BX")) {
        ndiCaptureBX(a, optionWord(command, commandLength, nameLength, 0, 0x0001), &c);
        indexHandles(h->BxSlotOfHandle, a->BxHandles, a->BxHandleCount);
    } else if (nameIs(command, nameLength, "GX")) {
        ndiCaptureGX(a, optionWord(command, commandLength, nameLength, 0, 0x0001), &c);
    } else if (nameIs(command, nameLength, "PSTAT")) {
        ndiCapturePSTAT(a, optionWord(command, commandLength, nameLength, 0, 0x0001), &c);
    } else if (nameIs(command, nameLength, "SSTAT")) {
        ndiCaptureSSTAT(a, optionWord(command, commandLength, nameLength, 0, 0x0000), &c);
    } else if (nameIs(command, nameLength, "IRCHK")) {
        ndiCaptureIRCHK(a, optionWord(command, commandLength, nameLength, 0, 0x0001), &c);
    } else if (nameIs(command, nameLength, "PHINF")) {
        ndiCapturePHINF(a, optionWord(command, commandLength, nameLength, 2, 0x0001), &c);
    } else if (nameIs(command, nameLength, "PHRQ")) {
        ndiCapturePHRQ(a, &c);
    } else if (nameIs(command, nameLength, "PHSR")) {
        ndiCapturePHSR(a, &c);
    }
}
