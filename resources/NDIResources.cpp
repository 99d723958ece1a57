#include "NDIResources.h"

#include <QtGlobal>

// Q_INIT_RESOURCE declares the collection's registration function at the
// point of use, so it must be expanded outside any namespace.
static bool registerResourceCollection() {
  Q_INIT_RESOURCE(Resources);
  return true;
}

namespace {
// Registration at load time, as soon as this object is part of the image.
struct LoadTimeRegistration {
  LoadTimeRegistration() { registerResourceCollection(); }
} const loadTimeRegistration;
}  // namespace

namespace Velantor::NDIResources {

bool ensureRegistered() noexcept {
  // Qt ignores a second registration of the same data; calling it here too
  // covers callers that run in another object's static initialiser, before
  // ours.
  static const bool registered = registerResourceCollection();
  return registered;
}

}  // namespace Velantor::NDIResources
