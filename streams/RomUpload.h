#pragma once
// Uploading a tool's ROM to its port handle, the way every stream does it.
#include <string>

#include <ndi/connection.h>

namespace Velantor {

// Uploads the ROM at path (a file, or a resource path starting with ":/") to
// portHandle as NDIUtils::ndiPVWRFromResource does, and once more when the
// first attempt met a fault on the line (a reply corrupted, lost or late)
// rather than a refusal by the system: one bad reply must not cost a tool.
// Returns 0 on success.
int uploadRom(NdiConnection* connection, int portHandle, const std::string& path, int& partNumber);

}  // namespace Velantor
