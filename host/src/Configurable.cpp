#include <Velantor/Configurable.h>
#include <Velantor/Properties.h>

namespace Velantor {

void Configurable::configure(const Properties*) {}

void Configurable::configuration(Properties*) const {}

void Configurable::configureDefaults()
{
    const Properties empty;
    configure(&empty);
}

}  // namespace Velantor
