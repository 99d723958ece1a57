/* Capture areas of the connection handle and the reply accessors.
 * Placeholder: the decoder work replaces this file. */
#ifndef NDICAPI_CAPTURE_H
#define NDICAPI_CAPTURE_H

#define NDI_MAX_HANDLES 24

#ifdef __cplusplus
extern "C" {
#endif

typedef struct NdiConnection NdiConnection;

typedef struct NdiCaptureAreas {
    int Placeholder;
} NdiCaptureAreas;

#ifdef __cplusplus
}
#endif

#endif
