/* Upload of tool-definition (ROM) images to a port handle with PVWR.
 *
 * An upload always sends the image's first 1024 bytes in 16 commands of 64
 * bytes (128 hex digits) each, at addresses 0x0000 to 0x03C0; a shorter
 * image goes out padded with zeros, a longer one is cut. The image is sent as
 * it is: nothing in it is interpreted here. */
#ifndef NDI_UPLOAD_H
#define NDI_UPLOAD_H

#include "connection.h"

#ifdef __cplusplus
extern "C" {
#endif

// The library is built with hidden symbols; what is declared here is its
// interface, also to programs that load it as part of a shared library.
#if defined(__GNUC__)
#pragma GCC visibility push(default)
#endif

/* Bytes of one upload; images are loaded zero-filled to this size. */
#define NDI_PVWR_IMAGE_SIZE 1024
/* Bytes per PVWR command. */
#define NDI_PVWR_CHUNK_SIZE 64

/* Uploads the file at path to portHandle. Returns 0 on success and -1 when
 * the file cannot be opened or read (nothing is sent then) or when a PVWR
 * command fails: the upload stops at that command and ndiGetError tells why.
 * Clears the handle's last error first. */
int ndiPVWRFromFile(NdiConnection* h, int portHandle, const char* path);

/* Sends an already loaded image of NDI_PVWR_IMAGE_SIZE bytes to portHandle:
 * 0 after all 16 commands, -1 at the first command that fails. */
int ndiPVWRFromImage(NdiConnection* h, int portHandle, const unsigned char* image);

#if defined(__GNUC__)
#pragma GCC visibility pop
#endif

#ifdef __cplusplus
}
#endif

#endif
