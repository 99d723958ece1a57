#pragma once
#include <optional>
#include <string>

namespace ndisim {

// The three kinds of measurement system the simulator can stand in for.
enum class Family {
    Polaris,  // serial optical camera with passive tools (Vicra/Spectra kind)
    Vega,     // network optical camera with passive tools, on TCP
    Aurora,   // serial electromagnetic system with wired tools on physical ports
};

const char* familyName(Family family);  // "polaris", "vega", "aurora"
std::optional<Family> familyFromName(const std::string& name);
bool isOptical(Family family);

}  // namespace ndisim
