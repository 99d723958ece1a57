#pragma once
// The plugin's compiled-in resource collection "Resources" (the placeholder
// tool definition ":/tools/dummy_tool.rom"). It registers itself when the
// library that carries it is loaded. Code that opens one of its files calls
// ensureRegistered() as well: the call is cheap, and referring to it keeps
// the static linker from dropping the collection from a plugin that links
// this code from a static archive.

namespace Velantor::NDIResources {

// Registers the collection if it is not registered yet; true when its files
// can be opened.
bool ensureRegistered() noexcept;

}  // namespace Velantor::NDIResources
