#include <ndisim/Family.h>

namespace ndisim {

const char* familyName(Family family)
{
    switch (family) {
    case Family::Polaris: return "polaris";
    case Family::Vega: return "vega";
    case Family::Aurora: return "aurora";
    }
    return "?";
}

std::optional<Family> familyFromName(const std::string& name)
{
    if (name == "polaris") return Family::Polaris;
    if (name == "vega") return Family::Vega;
    if (name == "aurora") return Family::Aurora;
    return std::nullopt;
}

bool isOptical(Family family) { return family != Family::Aurora; }

}  // namespace ndisim
