#pragma once
// Tool discovery on an electromagnetic system: its wired tools announce
// themselves on their ports. Every occupied port handle is matched by its
// physical port against the registered tools (whose ROM is then uploaded),
// initialised and enabled where it is not yet, identified, and added to the
// registry, named after the registered tool or after its kind.
#include "NDIInstrumentRegistry.h"

#include <Velantor/Flags.h>

#include <vector>

#include <ndi/connection.h>

namespace Velantor {

// Rebuilds registry from nothing (an empty registry when there is no
// connection) and returns the changes made, not yet announced. Command
// failures reach the connection's error callback; discovery goes on.
Flags<InstrumentModification> discoverWiredTools(
    NdiConnection* connection, NDIInstrumentRegistry& registry,
    const std::vector<NDITrackingInstrumentInfo>& targets, const TargetHandleStore& storeHandle);

// The same discovery on a system reached again after its line was lost: the
// registry is kept, an instrument whose tool is found again (same physical
// port and part number) gets its new port handle, one whose tool is not
// found keeps its place without a handle, and a tool plugged in meanwhile
// is added as discovery would add it.
Flags<InstrumentModification> reattachWiredTools(
    NdiConnection* connection, NDIInstrumentRegistry& registry,
    const std::vector<NDITrackingInstrumentInfo>& targets, const TargetHandleStore& storeHandle);

}  // namespace Velantor
