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

bool initializeNetworkDevice(NdiConnection* connection)
{
    constexpr int kInitTimeoutMs = 5000;
    constexpr int kTrackingTimeoutMs = 100;
    ndiTimeoutSocket(connection, kInitTimeoutMs);
    if (!initializeDevice(connection)) return false;
    ndiTimeoutSocket(connection, kTrackingTimeoutMs);
    return true;
}

}  // namespace Velantor
