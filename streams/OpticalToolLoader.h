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
    static void freeStaleHandles(NdiConnection* connection);
    // Loads every registered tool in list order, adding an instrument for each
    // whose ROM was uploaded; returns the registry's changes, not yet announced.
    Flags<InstrumentModification> loadTargets(const std::vector<NDITrackingInstrumentInfo>& targets,
                                              const TargetHandleStore& storeHandle);
    // Loads the placeholder tool (not added to the registry) and returns its
    // port handle, or -1 when it could not be loaded and enabled.
    static int loadPlaceholder(NdiConnection* connection);

    // Puts one registered tool on the system again (a fresh handle, its ROM,
    // enabled) for an instrument the registry already has: its new port
    // handle, or -1 with the failure logged.
    static int reload(NdiConnection* connection, const NDITrackingInstrumentInfo& entry);

    // Initialises the tool loaded on handle and enables it for dynamic
    // tracking; false when the system refused either step.
    static bool enable(NdiConnection* connection, int handle);

    // The placeholder's part number: a tool's ROM that carries it is loaded
    // all the same, with a warning.
    static constexpr int kReservedPartNumber = 999999999;
    static void warnIfReserved(int partNumber);

private:
    Flags<InstrumentModification> loadTarget(NDITrackingInstrumentInfo entry, std::size_t index,
                                             const TargetHandleStore& storeHandle);

    NdiConnection* m_connection;
    NDIInstrumentRegistry& m_registry;
};

}  // namespace Velantor
