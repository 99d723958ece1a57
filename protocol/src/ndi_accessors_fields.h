/* Reading numbers out of the fixed text fields of the capture areas. The
 * positions come from reply layouts and caller-supplied indices, so every
 * read is clipped to its field: outside it a field reads as empty (0). */
#ifndef NDI_ACCESSORS_FIELDS_H
#define NDI_ACCESSORS_FIELDS_H

#include <ndi/protocol.h>

#include <string.h>

/* The slot of a port handle in a tracking reply (BX or TX), -1 when the
 * reply did not carry it: a handle that is no byte (outside 0 to 255) never
 * does. The count check keeps a record whose index does not match its slots
 * (one filled in by hand) inside them. */
static inline int ndiSlotOfHandle(const unsigned char slotOfHandle[256], int count, int portHandle)
{
    if (portHandle < 0 || portHandle > 255) {
        return -1;
    }
    int slot = (int)slotOfHandle[portHandle] - 1;
    if (count > NDI_MAX_HANDLES) {
        count = NDI_MAX_HANDLES;
    }
    return slot < count ? slot : -1;
}

static inline unsigned long ndiFieldHex(const char* field, int width, long pos, int n)
{
    if (pos < 0 || pos >= width) {
        return 0;
    }
    if (n > width - pos) {
        n = (int)(width - pos);
    }
    return ndiHexToUnsignedLong(field + pos, n);
}

static inline long ndiFieldSigned(const char* field, int width, long pos, int n)
{
    if (pos < 0 || pos >= width) {
        return 0;
    }
    if (n > width - pos) {
        n = (int)(width - pos);
    }
    return ndiSignedToLong(field + pos, n);
}

/* Characters before the first NUL, never more than the width. */
static inline int ndiFieldLength(const char* field, int width)
{
    const char* end = (const char*)memchr(field, 0, (size_t)width);
    return end ? (int)(end - field) : width;
}

/* A pose text: Q0, Qx, Qy, Qz (6 characters, 1e-4), Tx, Ty, Tz (7, 1e-2),
 * error (6, 1e-4). Returns 0 when the text holds the whole pose; a text cut
 * short would give a pose made partly of zeros, so it counts as no data. */
static inline int ndiParsePoseText(const char* text, int width, double out[8])
{
    if (ndiFieldLength(text, width) < 51) {
        return 1;
    }
    for (int i = 0; i < 4; ++i) {
        out[i] = (double)ndiSignedToLong(text + 6 * i, 6) * 0.0001;
    }
    for (int i = 0; i < 3; ++i) {
        out[4 + i] = (double)ndiSignedToLong(text + 24 + 7 * i, 7) * 0.01;
    }
    out[7] = (double)ndiSignedToLong(text + 45, 6) * 0.0001;
    return 0;
}

/* Pose or stray text with the words MISSING and DISABLED in its place:
 * 1 for an empty or DISABLED text, 2 for MISSING, 0 for data. */
static inline int ndiPoseTextState(const char* text)
{
    if (text[0] == '\0' || text[0] == 'D') {
        return 1;
    }
    return text[0] == 'M' ? 2 : 0;
}

/* Three coordinates of 7 characters each, in hundredths of a millimetre, at
 * pos of the field. 0 when they are all there, 1 when the text is cut. */
static inline int ndiParseCoordsText(const char* field, int width, long pos, double out[3])
{
    if (pos < 0 || (long)ndiFieldLength(field, width) < pos + 21) {
        return 1;
    }
    for (int i = 0; i < 3; ++i) {
        out[i] = (double)ndiSignedToLong(field + pos + 7 * i, 7) * 0.01;
    }
    return 0;
}

/* A single stray marker's text (a 24-character slot): MISSING, DISABLED or
 * three coordinates. The result is that of the stray accessors; coord is
 * written only for 0. */
static inline int ndiSingleStrayFromText(const char* text, double coord[3])
{
    int state = ndiPoseTextState(text);
    if (state != 0) {
        return state;
    }
    double xyz[3];
    if (ndiParseCoordsText(text, 24, 0, xyz) != 0) {
        return 1;
    }
    memcpy(coord, xyz, sizeof xyz);
    return 0;
}

#endif
