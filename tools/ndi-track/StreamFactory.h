#pragma once
// Makes the plugin's stream for a camera family.
#include "TrackOptions.h"

#include <NDITrackingStream.h>

#include <memory>

namespace ndi_track {

std::unique_ptr<Velantor::NDITrackingStream> makeStream(Family family);

}  // namespace ndi_track
