#pragma once
// The option words the streams send with their commands, built from the bits
// that say what the reply is to carry.
namespace Velantor::NDIReplyOptions {

// ---- tracking replies (BX and TX)
constexpr int kTransformations = 0x0001;
constexpr int kToolAndMarkerInformation = 0x0002;
constexpr int kSingleStrayActiveMarker = 0x0004;
constexpr int kMarkersOnTools = 0x0008;
// Also the transformations a system does not normally report.
constexpr int kUnusualTransformations = 0x0800;
constexpr int kStrayPassiveMarkers = 0x1000;

// Optical systems: poses, every marker on and off the tools.
constexpr int kOpticalBinaryTracking = kTransformations | kToolAndMarkerInformation |
                                       kSingleStrayActiveMarker | kMarkersOnTools |
                                       kUnusualTransformations | kStrayPassiveMarkers;
// Electromagnetic systems have no markers: poses only.
constexpr int kElectromagneticBinaryTracking = kTransformations | kUnusualTransformations;
// Text replies carry no markers on tools.
constexpr int kTextTracking = kTransformations | kSingleStrayActiveMarker | kStrayPassiveMarkers;

static_assert(kOpticalBinaryTracking == 0x180F && kElectromagneticBinaryTracking == 0x0801 &&
                  kTextTracking == 0x1005,
              "the tracking commands' option words are what systems are asked today");

// ---- port handle information (PHINF)
constexpr int kToolInformation = 0x0001;
constexpr int kPartNumber = 0x0004;
constexpr int kPortLocation = 0x0020;
constexpr int kToolIdentity = kToolInformation | kPartNumber | kPortLocation;

// ---- port handle lists (PHSR)
constexpr int kAllPortHandles = 0x00;
constexpr int kPortHandlesToFree = 0x01;

}  // namespace Velantor::NDIReplyOptions
