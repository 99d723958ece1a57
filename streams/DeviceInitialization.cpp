#include "DeviceInitialization.h"

#include "NDIStreamLog.h"

#include <ndi/protocol.h>

namespace Velantor {

bool initializeDevice(NdiConnection* connection)
{
    NDIStreamLog::text(Log::Debug, "Initializing device...");
    ndiCommand(connection, "INIT:");
    if (ndiGetError(connection) != NDI_OKAY) {
        NDIStreamLog::text(Log::Error, "Device could not be initialized!");
        return false;
    }
    NDIStreamLog::text(Log::Debug, "Device initialized.");
    return true;
}

}  // namespace Velantor
