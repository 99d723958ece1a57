#pragma once
#ifdef __cplusplus
extern "C" {
#endif
/* Runs the C checks against a device that answers INIT: with OKAY and
 * TSTART: with ERROR0C; returns null or what failed. */
const char* checkLibraryFromC(const char* device);
#ifdef __cplusplus
}
#endif
