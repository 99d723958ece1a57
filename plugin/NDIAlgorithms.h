#pragma once
// The three stream algorithms the plugin offers. No algorithm exists for the
// camera-specific network stream: the network cameras are tracked by the
// marker stream.
#include "CreateStreamIoAlgorithm.h"

#include <NDIPolarisTrackingStream.h>
#include <PolarisAuroraTrackingStream.h>

namespace Velantor {

using NDIPolarisAlgorithm = CreateStreamIoAlgorithm<NDIPolarisTrackingStream, false, false>;
using NDIPolarisSerialAlgorithm =
    CreateStreamIoAlgorithm<PolarisAuroraTrackingStream<NDIPolarisSerial>, false, false>;
using NDIAuroraAlgorithm =
    CreateStreamIoAlgorithm<PolarisAuroraTrackingStream<NDIAurora>, false, false>;

}  // namespace Velantor
