/* A readable dump of everything a connection has captured from its replies,
 * for diagnosis.
 *
 * The text is one "Label: value" line per field, each ending in '\n', in
 * the order of the capture areas. Indexed labels repeat per entry: per port
 * of the older replies, and per kept tool (and marker, and stray) of the
 * tracking replies. Counts are printed as stored but never trusted as
 * indexes: entries are listed only up to the size of their arrays.
 *
 * Value formats:
 *   text fields     as received, up to the first NUL and never beyond the
 *                   field; bytes below 0x20 and 0x7F are written as '?', so
 *                   a device cannot split or forge lines of the dump
 *   ints, counts    decimal ("%d"; Bx3DMarkerCount and BxHandleCount too)
 *   value lists     entries separated by one space:
 *                   port handles, handle statuses and single stray marker
 *                   statuses as 2 uppercase hex digits, port statuses as 8,
 *                   frame numbers as unsigned decimal
 *   byte arrays     uppercase hex, 2 digits a byte, no separator: all 11
 *                   bytes of tool and marker information; of the
 *                   out-of-volume flags only the bytes that cover the kept
 *                   markers or strays
 *   floats          "%.9g" in the C numeric locale whatever the program's
 *                   locale is (reads back bit for bit), separated by spaces
 *
 * Reads the handle only and sends nothing; must not run concurrently with
 * a command on the same handle. */
#ifndef NDI_STATE_H
#define NDI_STATE_H

#include "connection.h"

#ifdef __cplusplus
extern "C" {
#endif

// The library is built with hidden symbols; what is declared here is its
// interface, also to programs that load it as part of a shared library.
#if defined(__GNUC__)
#pragma GCC visibility push(default)
#endif

/* Bytes, terminating NUL included, of the longest text ndiLogState can
 * write, whatever the handle holds: every text field full, 24 tools with 20
 * markers each, 240 passive strays and every number at its longest. */
#define NDI_LOG_STATE_SIZE 78853

/* Writes the dump and a terminating NUL to out, which must hold
 * NDI_LOG_STATE_SIZE bytes. A null handle gives an empty text. */
void ndiLogState(NdiConnection* h, char* out);

#if defined(__GNUC__)
#pragma GCC visibility pop
#endif

#ifdef __cplusplus
}
#endif

#endif
