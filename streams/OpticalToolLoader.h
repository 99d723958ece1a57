#pragma once
// Tool set-up on an optical system: optical tools have no wire and announce
// nothing, so each registered tool gets a fresh port handle, its ROM, and is
// initialised and enabled. Without any tool of its own the system is given a
// placeholder tool so that it still reports the stray markers.
#include "NDIInstrumentRegistry.h"

#include <Velantor/Flags.h>

#include <cstddef>
#include <vector>

#include <ndi/connection.h>

namespace Velantor {

class OpticalToolLoader {
public:
    OpticalToolLoader(NdiConnection* connection, NDIInstrumentRegistry& registry);

    // Frees the handles a previous session left behind.
    void freeStaleHandles();
    // Loads every registered tool in list order, adding an instrument for each
    // whose ROM was uploaded; returns the registry's changes, not yet announced.
    Flags<InstrumentModification> loadTargets(const std::vector<NDITrackingInstrumentInfo>& targets,
                                              const TargetHandleStore& storeHandle);
    // Loads the placeholder tool (not added to the registry) and returns its
    // port handle, or -1 when no handle could be had.
    int loadPlaceholder();

private:
    Flags<InstrumentModification> loadTarget(NDITrackingInstrumentInfo entry, std::size_t index,
                                             const TargetHandleStore& storeHandle);
    void enable(int handle);

    NdiConnection* m_connection;
    NDIInstrumentRegistry& m_registry;
};

}  // namespace Velantor
