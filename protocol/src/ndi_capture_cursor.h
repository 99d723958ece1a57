/* Bounded reading of one reply during capture. Replies come from a device or
 * a network and are hostile until parsed: every step here stops at the end of
 * the bytes received, and every copy stays inside its field. */
#ifndef NDI_CAPTURE_CURSOR_H
#define NDI_CAPTURE_CURSOR_H

#include <string.h>

typedef struct NdiReplyCursor {
    const unsigned char* data;
    int length;
    int pos;
} NdiReplyCursor;

static inline void ndiCursorInit(NdiReplyCursor* c, const char* data, int length)
{
    c->data = (const unsigned char*)data;
    c->length = length > 0 ? length : 0;
    c->pos = 0;
}

static inline int ndiCursorRemaining(const NdiReplyCursor* c) { return c->length - c->pos; }

/* The next character, or 0 at the end of the reply (which reads like the NUL
 * behind a text reply). */
static inline int ndiCursorPeek(const NdiReplyCursor* c)
{
    return c->pos < c->length ? c->data[c->pos] : 0;
}

/* Copies at most max text characters (codes above 31) into field, stopping
 * at the first control character or the end of the reply, and clears the
 * rest of the field so that nothing of an older reply shows behind the new
 * text. A null field only steps over the characters. max must not exceed
 * width; with max below width the text is NUL-terminated. */
static inline int ndiCursorCopyText(NdiReplyCursor* c, char* field, int width, int max)
{
    int n = 0;
    while (n < max && c->pos < c->length && c->data[c->pos] > 31) {
        if (field) {
            field[n] = (char)c->data[c->pos];
        }
        ++n;
        ++c->pos;
    }
    if (field && n < width) {
        memset(field + n, 0, (size_t)(width - n));
    }
    return n;
}

static inline void ndiCursorSkipText(NdiReplyCursor* c, long max)
{
    while (max > 0 && c->pos < c->length && c->data[c->pos] > 31) {
        ++c->pos;
        --max;
    }
}

/* Steps to the end of the line and over its line feed. */
static inline void ndiCursorSkipLine(NdiReplyCursor* c)
{
    while (c->pos < c->length && c->data[c->pos] != '\n') {
        ++c->pos;
    }
    if (c->pos < c->length) {
        ++c->pos;
    }
}

static inline void ndiCursorSkipLineFeed(NdiReplyCursor* c)
{
    if (c->pos < c->length && c->data[c->pos] == '\n') {
        ++c->pos;
    }
}

/* Reads up to digits hex characters and steps over them (over fewer at the
 * end of the reply). */
static inline unsigned int ndiCursorHex(NdiReplyCursor* c, int digits)
{
    int n = ndiCursorRemaining(c) < digits ? ndiCursorRemaining(c) : digits;
    unsigned int value = 0;
    for (int i = 0; i < n; ++i) {
        unsigned char ch = c->data[c->pos + i];
        int d = (ch >= '0' && ch <= '9')   ? ch - '0'
                : (ch >= 'A' && ch <= 'F') ? ch - 'A' + 10
                : (ch >= 'a' && ch <= 'f') ? ch - 'a' + 10
                                           : -1;
        if (d < 0) {
            break;
        }
        value = (value << 4) | (unsigned int)d;
    }
    c->pos += n;
    return value;
}

/* Binary fields: each returns 0 without moving when the reply holds fewer
 * bytes than asked for, so that a cut reply is never read beyond its end. */
static inline int ndiCursorBytes(NdiReplyCursor* c, void* out, int n)
{
    if (n < 0 || ndiCursorRemaining(c) < n) {
        return 0;
    }
    if (out && n > 0) {
        memcpy(out, c->data + c->pos, (size_t)n);
    }
    c->pos += n;
    return 1;
}

static inline int ndiCursorU8(NdiReplyCursor* c, unsigned char* out)
{
    if (ndiCursorRemaining(c) < 1) {
        return 0;
    }
    *out = c->data[c->pos++];
    return 1;
}

static inline int ndiCursorU16(NdiReplyCursor* c, unsigned int* out)
{
    if (ndiCursorRemaining(c) < 2) {
        return 0;
    }
    const unsigned char* p = c->data + c->pos;
    *out = (unsigned int)p[0] | ((unsigned int)p[1] << 8);
    c->pos += 2;
    return 1;
}

static inline int ndiCursorU32(NdiReplyCursor* c, unsigned int* out)
{
    if (ndiCursorRemaining(c) < 4) {
        return 0;
    }
    const unsigned char* p = c->data + c->pos;
    *out = (unsigned int)p[0] | ((unsigned int)p[1] << 8) | ((unsigned int)p[2] << 16) |
           ((unsigned int)p[3] << 24);
    c->pos += 4;
    return 1;
}

/* Little-endian IEEE-754 singles, copied bit for bit whatever the host's
 * byte order. A null out only steps over them. */
static inline int ndiCursorFloats(NdiReplyCursor* c, float* out, int count)
{
    if (count < 0 || ndiCursorRemaining(c) < 4 * count) {
        return 0;
    }
    const unsigned char* p = c->data + c->pos;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    /* The wire's order is the host's: one copy. */
    if (out && count > 0) {
        memcpy(out, p, 4 * (size_t)count);
    }
#else
    if (out) {
        for (int i = 0; i < count; ++i, p += 4) {
            unsigned int bits = (unsigned int)p[0] | ((unsigned int)p[1] << 8) |
                                ((unsigned int)p[2] << 16) | ((unsigned int)p[3] << 24);
            memcpy(&out[i], &bits, sizeof bits);
        }
    }
#endif
    c->pos += 4 * count;
    return 1;
}

#endif
