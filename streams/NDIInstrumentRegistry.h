#pragma once
// The registry an NDI stream keeps its instruments in, each with the tool
// record it was loaded from.
#include "NDITrackingInstrumentInfo.h"

#include <ThreadSafeInstruments.h>

#include <cstddef>
#include <functional>

namespace Velantor {

using NDIInstrumentRegistry = ThreadSafeInstruments<NDITrackingInstrumentInfo>;

// How tool set-up tells the stream which port handle it gave a registered
// tool: by the tool's index in the list it was handed.
using TargetHandleStore = std::function<void(std::size_t target, int portHandle)>;

}  // namespace Velantor
