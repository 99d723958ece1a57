#include "StreamFactory.h"

#include <PolarisAuroraTrackingStream.h>

namespace ndi_track {

std::unique_ptr<Velantor::NDITrackingStream> makeStream(Family family)
{
    using namespace Velantor;
    switch (family) {
    case Family::Aurora:
        return std::make_unique<PolarisAuroraTrackingStream<NDIAurora>>("NDI Aurora");
    case Family::Polaris:
        return std::make_unique<PolarisAuroraTrackingStream<NDIPolarisSerial>>("NDI Polaris");
    case Family::Vega:
        return std::make_unique<PolarisAuroraTrackingStream<NDIPolarisNetwork>>("NDI Polaris Vega");
    }
    return nullptr;
}

}  // namespace ndi_track
