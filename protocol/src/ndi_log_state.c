/* The connection state dump. Every piece of the text has a fixed longest
 * form (a field's width, a number's longest text, a list's array size) that
 * NDI_LOG_STATE_SIZE adds up, and on top of that the writer refuses to go
 * past NDI_LOG_STATE_SIZE - 1 characters: whatever a caller or a device put
 * into the handle, the caller's buffer cannot overrun. */
#include <locale.h>
#include <stdarg.h>
#include <stdio.h>

#include <ndi/protocol.h>
#include <ndi/state.h>

/* Longest texts of the numbers: "%.9g" of a float ("-1.17549435e-38") and
 * "%d" of an int ("-2147483648"). The float limit is enforced, so that a
 * locale with a longer decimal point (should switching to C fail) cannot
 * stretch the text either. */
#define FLOAT_TEXT_MAX 15
#define INT_TEXT_MAX 11

#define COUNT_OF(a) (sizeof(a) / sizeof((a)[0]))

typedef struct Dump {
    char* out;
    size_t length;
} Dump;

static void putChar(Dump* d, char c)
{
    if (d->length < NDI_LOG_STATE_SIZE - 1) {
        d->out[d->length++] = c;
    }
}

static void putLimited(Dump* d, const char* text, size_t limit)
{
    for (size_t i = 0; i < limit && text[i] != '\0'; ++i) {
        putChar(d, text[i]);
    }
}

static void putString(Dump* d, const char* text) { putLimited(d, text, (size_t)-1); }

#if defined(__GNUC__)
__attribute__((format(printf, 3, 4)))
#endif
static void
putNumber(Dump* d, size_t limit, const char* format, ...)
{
    char text[32];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    putLimited(d, text, limit);
}

static void putSeparator(Dump* d, int i)
{
    if (i > 0) {
        putChar(d, ' ');
    }
}

static void putLabel(Dump* d, const char* head, int i, const char* tail)
{
    putString(d, head);
    putNumber(d, INT_TEXT_MAX, "%d", i);
    putString(d, tail);
}

/* Device text may hold any byte: a line feed or carriage return in it must
 * not start a line of its own in the dump. */
static void putField(Dump* d, const char* field, size_t width)
{
    for (size_t i = 0; i < width && field[i] != '\0'; ++i) {
        unsigned char c = (unsigned char)field[i];
        putChar(d, (c < 0x20 || c == 0x7F) ? '?' : (char)c);
    }
}

static void textLine(Dump* d, const char* label, const char* field, size_t width)
{
    putString(d, label);
    putField(d, field, width);
    putChar(d, '\n');
}

static void textRows(Dump* d, const char* head, const char* tail, const char* rows, size_t count,
                     size_t width)
{
    for (size_t i = 0; i < count; ++i) {
        putLabel(d, head, (int)i, tail);
        putField(d, rows + i * width, width);
        putChar(d, '\n');
    }
}

#define TEXT(d, label, field) textLine(d, label, field, sizeof(field))
#define ROWS_OF(d, head, tail, rows, n) \
    textRows(d, head, tail, &(rows)[0][0], (size_t)(n), sizeof((rows)[0]))
#define ROWS(d, head, tail, rows) ROWS_OF(d, head, tail, rows, COUNT_OF(rows))

static void intLine(Dump* d, const char* label, int value)
{
    putString(d, label);
    putNumber(d, INT_TEXT_MAX, "%d", value);
    putChar(d, '\n');
}

static void byteList(Dump* d, const char* label, const unsigned char* values, int n)
{
    putString(d, label);
    for (int i = 0; i < n; ++i) {
        putSeparator(d, i);
        putNumber(d, 2, "%02X", values[i]);
    }
    putChar(d, '\n');
}

static void hexBytes(Dump* d, const unsigned char* bytes, int n)
{
    for (int i = 0; i < n; ++i) {
        putNumber(d, 2, "%02X", bytes[i]);
    }
}

static void floats(Dump* d, const float* values, int n)
{
    for (int i = 0; i < n; ++i) {
        putSeparator(d, i);
        putNumber(d, FLOAT_TEXT_MAX, "%.9g", (double)values[i]);
    }
}

/* One line per entry below n: the indexed label and the entry's floats. */
static void floatRows(Dump* d, const char* head, const char* tail, const float* rows, int n,
                      int width)
{
    for (int i = 0; i < n; ++i) {
        putLabel(d, head, i, tail);
        floats(d, rows + (size_t)i * (size_t)width, width);
        putChar(d, '\n');
    }
}

static int clampCount(int count, int limit)
{
    return count < 0 ? 0 : count > limit ? limit : count;
}

static void dumpGX(Dump* d, const NdiCaptureAreas* a)
{
    ROWS(d, "GxTransforms[", "][52]: ", a->GxTransforms);
    TEXT(d, "GxStatus[8]: ", a->GxStatus);
    ROWS(d, "GxInformation[", "][12]: ", a->GxInformation);
    ROWS(d, "GxSingleStray[", "][24]: ", a->GxSingleStray);
    ROWS(d, "GxFrame[", "][8]: ", a->GxFrame);
    ROWS(d, "GxPassiveTransforms[", "][52]: ", a->GxPassiveTransforms);
    TEXT(d, "GxPassiveStatus[24]: ", a->GxPassiveStatus);
    ROWS(d, "GxPassiveInformation[", "][12]: ", a->GxPassiveInformation);
    ROWS(d, "GxPassiveFrame[", "][8]: ", a->GxPassiveFrame);
    TEXT(d, "GxPassiveStray[424]: ", a->GxPassiveStray);
}

static void dumpPSTAT(Dump* d, const NdiCaptureAreas* a)
{
    ROWS(d, "PstatBasic[", "][32]: ", a->PstatBasic);
    ROWS(d, "PstatTesting[", "][8]: ", a->PstatTesting);
    ROWS(d, "PstatPartNumber[", "][20]: ", a->PstatPartNumber);
    ROWS(d, "PstatAccessories[", "][2]: ", a->PstatAccessories);
    ROWS(d, "PstatMarkerType[", "][2]: ", a->PstatMarkerType);
    ROWS(d, "PstatPassiveBasic[", "][32]: ", a->PstatPassiveBasic);
    ROWS(d, "PstatPassiveTesting[", "][8]: ", a->PstatPassiveTesting);
    ROWS(d, "PstatPassivePartNumber[", "][20]: ", a->PstatPassivePartNumber);
    ROWS(d, "PstatPassiveAccessories[", "][2]: ", a->PstatPassiveAccessories);
    ROWS(d, "PstatPassiveMarkerType[", "][2]: ", a->PstatPassiveMarkerType);
}

static void dumpStatusAndPorts(Dump* d, const NdiCaptureAreas* a)
{
    TEXT(d, "SstatControl[2]: ", a->SstatControl);
    TEXT(d, "SstatSensor[2]: ", a->SstatSensor);
    TEXT(d, "SstatTiu[2]: ", a->SstatTiu);
    intLine(d, "IrchkDetected: ", a->IrchkDetected);
    TEXT(d, "IrchkSources[128]: ", a->IrchkSources);

    TEXT(d, "PhrqReply[2]: ", a->PhrqReply);
    TEXT(d, "PhsrReply[1284]: ", a->PhsrReply);
    intLine(d, "PhinfUnoccupied: ", a->PhinfUnoccupied);
    TEXT(d, "PhinfBasic[34]: ", a->PhinfBasic);
    TEXT(d, "PhinfTesting[8]: ", a->PhinfTesting);
    TEXT(d, "PhinfPartNumber[20]: ", a->PhinfPartNumber);
    TEXT(d, "PhinfAccessories[2]: ", a->PhinfAccessories);
    TEXT(d, "PhinfMarkerType[2]: ", a->PhinfMarkerType);
    TEXT(d, "PhinfPortLocation[14]: ", a->PhinfPortLocation);
    TEXT(d, "PhinfGpioStatus[2]: ", a->PhinfGpioStatus);
}

static void dumpTX(Dump* d, const NdiCaptureAreas* a)
{
    const int n = clampCount(a->TxHandleCount, NDI_MAX_HANDLES);
    intLine(d, "TxHandleCount: ", a->TxHandleCount);
    byteList(d, "TxHandles[NDI_MAX_HANDLES]: ", a->TxHandles, n);
    ROWS_OF(d, "TxTransforms[", "][52]: ", a->TxTransforms, n);
    ROWS_OF(d, "TxStatus[", "][8]: ", a->TxStatus, n);
    ROWS_OF(d, "TxFrame[", "][8]: ", a->TxFrame, n);
    /* The slot is wider than the label says: it keeps every marker's
     * character, and the dump shows all of them. */
    ROWS_OF(d, "TxInformation[", "][12]: ", a->TxInformation, n);
    ROWS_OF(d, "TxSingleStray[", "][24]: ", a->TxSingleStray, n);
    TEXT(d, "TxSystemStatus[4]: ", a->TxSystemStatus);
    intLine(d, "TxPassiveStrayCount: ", a->TxPassiveStrayCount);
    TEXT(d, "TxPassiveStrayOov[14]: ", a->TxPassiveStrayOov);
    TEXT(d, "TxPassiveStray[1052]: ", a->TxPassiveStray);
}

static void dumpBX(Dump* d, const NdiCaptureAreas* a)
{
    const int n = clampCount(a->BxHandleCount, NDI_MAX_HANDLES);
    intLine(d, "BxHandleCount: ", a->BxHandleCount);
    byteList(d, "BxHandles[NDI_MAX_HANDLES]: ", a->BxHandles, n);
    byteList(d, "BxHandlesStatus[NDI_MAX_HANDLES]: ", a->BxHandlesStatus, n);

    putString(d, "BxFrameNumber[NDI_MAX_HANDLES]: ");
    for (int i = 0; i < n; ++i) {
        putSeparator(d, i);
        putNumber(d, 10, "%u", a->BxFrameNumber[i]);
    }
    putChar(d, '\n');
    floatRows(d, "BxTransforms[", "][8]: ", &a->BxTransforms[0][0], n, 8);

    putString(d, "BxPortStatus[NDI_MAX_HANDLES]: ");
    for (int i = 0; i < n; ++i) {
        putSeparator(d, i);
        putNumber(d, 8, "%08X", a->BxPortStatus[i]);
    }
    putChar(d, '\n');
    for (int i = 0; i < n; ++i) {
        putLabel(d, "BxToolMarkerInformation[", i, "][11]: ");
        hexBytes(d, a->BxToolMarkerInformation[i], (int)sizeof a->BxToolMarkerInformation[i]);
        putChar(d, '\n');
    }

    byteList(d, "BxActiveSingleStrayMarkerStatus[NDI_MAX_HANDLES]: ",
             a->BxActiveSingleStrayMarkerStatus, n);
    floatRows(d, "BxActiveSingleStrayMarkerPosition[",
              "][3]: ", &a->BxActiveSingleStrayMarkerPosition[0][0], n, 3);

    putString(d, "Bx3DMarkerCount[NDI_MAX_HANDLES]: ");
    for (int i = 0; i < n; ++i) {
        putSeparator(d, i);
        putNumber(d, 4, "%d", a->Bx3DMarkerCount[i]);
    }
    putChar(d, '\n');
    for (int i = 0; i < n; ++i) {
        const int markers = clampCount(a->Bx3DMarkerCount[i], NDI_MAX_BX_MARKERS);
        putLabel(d, "Bx3DMarkerOutOfVolume[", i, "][3]: ");
        hexBytes(d, a->Bx3DMarkerOutOfVolume[i], (markers + 7) / 8);
        putChar(d, '\n');
    }
    for (int i = 0; i < n; ++i) {
        const int markers = clampCount(a->Bx3DMarkerCount[i], NDI_MAX_BX_MARKERS);
        for (int j = 0; j < markers; ++j) {
            putLabel(d, "Bx3DMarkerPosition[", i, "][");
            putNumber(d, INT_TEXT_MAX, "%d", j);
            putString(d, "][3]: ");
            floats(d, a->Bx3DMarkerPosition[i][j], 3);
            putChar(d, '\n');
        }
    }

    const int strays = clampCount(a->BxPassiveStrayCount, NDI_MAX_BX_PASSIVE_STRAYS);
    intLine(d, "BxPassiveStrayCount: ", a->BxPassiveStrayCount);
    putString(d, "BxPassiveStrayOutOfVolume[30]: ");
    hexBytes(d, a->BxPassiveStrayOutOfVolume, (strays + 7) / 8);
    putChar(d, '\n');
    floatRows(d, "BxPassiveStrayPosition[", "][3]: ", &a->BxPassiveStrayPosition[0][0], strays, 3);
}

void ndiLogState(NdiConnection* h, char* out)
{
    if (out == NULL) {
        return;
    }
    Dump d = {out, 0};
    if (h != NULL) {
        /* Programs that set a locale (every Qt application does) would
         * otherwise get a decimal comma in the floats; switching only this
         * thread leaves the rest of the program alone. */
        locale_t numeric = newlocale(LC_NUMERIC_MASK, "C", (locale_t)0);
        locale_t previous = numeric != (locale_t)0 ? uselocale(numeric) : (locale_t)0;

        const NdiCaptureAreas* a = &h->Capture;
        dumpGX(&d, a);
        dumpPSTAT(&d, a);
        dumpStatusAndPorts(&d, a);
        dumpTX(&d, a);
        dumpBX(&d, a);

        if (numeric != (locale_t)0) {
            uselocale(previous);
            freelocale(numeric);
        }
    }
    out[d.length] = '\0';
}
