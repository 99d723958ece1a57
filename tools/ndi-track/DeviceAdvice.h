#pragma once
// Turns what went wrong with a measurement system into what the user can do
// about it.
#include "TrackOptions.h"

#include <string>
#include <vector>

namespace ndi_track {

// Why a serial device cannot be opened by this user, before anything is sent
// to it ("" when nothing stands in the way).
std::string serialDeviceProblem(const std::string& device);

// The advice after a failed open, from the options and the error texts the
// stream logged while opening.
std::string adviceAfterFailedOpen(const TrackOptions& options,
                                  const std::vector<std::string>& errors);

}  // namespace ndi_track
