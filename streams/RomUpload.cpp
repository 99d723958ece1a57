#include "RomUpload.h"

#include "NDIUtils.h"

#include <ndi/protocol.h>

namespace Velantor {

namespace {

bool lineFault(int error)
{
    return error == NDI_ERR_CRC || error == NDI_ERR_TIMEOUT || error == NDI_ERR_READ ||
           error == NDI_ERR_WRITE;
}

}  // namespace

int uploadRom(NdiConnection* connection, int portHandle, const std::string& path, int& partNumber)
{
    const int rc = NDIUtils::ndiPVWRFromResource(connection, portHandle, path, partNumber);
    if (rc == 0 || !lineFault(ndiGetError(connection))) return rc;
    return NDIUtils::ndiPVWRFromResource(connection, portHandle, path, partNumber);
}

}  // namespace Velantor
