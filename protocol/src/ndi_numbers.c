/* Fixed-width number fields of the tracker's text replies, and the hex
 * encoding used to send binary images. Every reader takes the field width so
 * that a field cut short by the end of a reply is never read beyond it. */
#include <ndi/protocol.h>

static int hexDigitValue(unsigned char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

unsigned long ndiHexToUnsignedLong(const char* text, int n)
{
    unsigned long value = 0;
    for (int i = 0; i < n; ++i) {
        int digit = hexDigitValue((unsigned char)text[i]);
        if (digit < 0) {
            break;
        }
        value = (value << 4) + (unsigned long)digit;
    }
    return value;
}

unsigned int ndiHexToUnsignedInt(const char* text, int n)
{
    unsigned int value = 0;
    for (int i = 0; i < n; ++i) {
        int digit = hexDigitValue((unsigned char)text[i]);
        if (digit < 0) {
            break;
        }
        value = (value << 4) + (unsigned int)digit;
    }
    return value;
}

long ndiSignedToLong(const char* text, int n)
{
    if (n < 2 || (text[0] != '+' && text[0] != '-')) {
        return 0;
    }
    /* Accumulate unsigned so that an over-long digit run wraps instead of
     * overflowing a signed value; replies never carry more than 7 digits. */
    unsigned long value = 0;
    for (int i = 1; i < n; ++i) {
        unsigned char c = (unsigned char)text[i];
        if (c < '0' || c > '9') {
            break;
        }
        value = value * 10u + (unsigned long)(c - '0');
    }
    return text[0] == '-' ? -(long)value : (long)value;
}

char* ndiHexEncode(char* out, const void* data, int n)
{
    static const char digits[] = "0123456789ABCDEF";
    const unsigned char* bytes = (const unsigned char*)data;
    for (int i = 0; i < n; ++i) {
        out[2 * i] = digits[bytes[i] >> 4];
        out[2 * i + 1] = digits[bytes[i] & 0x0F];
    }
    return out;
}

void* ndiHexDecode(void* out, const char* text, int n)
{
    unsigned char* bytes = (unsigned char*)out;
    for (int i = 0; i < n; ++i) {
        int high = hexDigitValue((unsigned char)text[2 * i]);
        int low = hexDigitValue((unsigned char)text[2 * i + 1]);
        bytes[i] = (unsigned char)(((high < 0 ? 0 : high) << 4) | (low < 0 ? 0 : low));
    }
    return out;
}
