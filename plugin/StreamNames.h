#pragma once
// The name each algorithm gives the stream it makes.
#include <NDIPolarisTrackingStream.h>
#include <PolarisAuroraTrackingStream.h>

namespace Velantor {

template <typename S>
struct StreamNames;

template <>
struct StreamNames<NDIPolarisTrackingStream> {
    static constexpr const char* name = "NDI Polaris Tracking Stream";
};

template <>
struct StreamNames<PolarisAuroraTrackingStream<NDIPolarisSerial>> {
    static constexpr const char* name = "NDI Polaris Tracking Stream";
};

template <>
struct StreamNames<PolarisAuroraTrackingStream<NDIAurora>> {
    static constexpr const char* name = "NDI Aurora Tracking Stream";
};

}  // namespace Velantor
