/* Upload of tool-definition images with PVWR. */
#include <ndi/upload.h>

#include <stdio.h>
#include <string.h>

#include <ndi/protocol.h>

int ndiPVWRFromImage(NdiConnection* h, int portHandle, const unsigned char* image)
{
    /* Exactly the 128 characters the format's precision takes: no NUL is
     * needed behind them. */
    char hex[2 * NDI_PVWR_CHUNK_SIZE];
    int address;

    if (h == NULL || image == NULL) {
        return -1;
    }
    for (address = 0; address < NDI_PVWR_IMAGE_SIZE; address += NDI_PVWR_CHUNK_SIZE) {
        ndiHexEncode(hex, image + address, NDI_PVWR_CHUNK_SIZE);
        ndiCommand(h, "PVWR:%02X%04X%.128s", portHandle, address, hex);
        if (ndiGetError(h) != 0) {
            return -1;
        }
    }
    return 0;
}

int ndiPVWRFromFile(NdiConnection* h, int portHandle, const char* path)
{
    unsigned char image[NDI_PVWR_IMAGE_SIZE];
    FILE* file;

    if (h == NULL) {
        return -1;
    }
    h->LastError = 0;
    if (path == NULL) {
        return -1;
    }
    memset(image, 0, sizeof image);
    file = fopen(path, "rb");
    if (file == NULL) {
        return -1;
    }
    (void)fread(image, 1, sizeof image, file);
    if (ferror(file)) {
        fclose(file);
        return -1;
    }
    fclose(file);
    return ndiPVWRFromImage(h, portHandle, image);
}
