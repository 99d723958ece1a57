#include <Velantor/Plugin.h>

#include <string>

namespace Velantor {

namespace {

// Plugins that stream declare the host's streaming library, "Velantor.Stream",
// as a dependency. In this host that library is part of the host library
// itself rather than a plugin loaded beside it, so it counts as loaded for as
// long as the host library is.
std::string streamLibraryId() { return "Velantor.Stream"; }

const PluginAutoRegistrationGuard streamLibrary(&streamLibraryId);

}  // namespace

}  // namespace Velantor
