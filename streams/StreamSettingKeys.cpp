#include "StreamSettingKeys.h"

#include "NDIStreamLog.h"

#include <Velantor/Properties.h>

namespace Velantor::StreamSettingKeys {

std::string joinOptions(const std::vector<std::string>& options)
{
    std::string joined;
    for (const std::string& option : options) joined += option + ", ";
    if (!joined.empty()) joined.resize(joined.size() - 2);
    return joined;
}

void warnAboutRemovedKeys(const Properties& p)
{
    // Old workspaces still carry these; their values never mattered.
    bool ignored = false;
    if (p.param("startAfterInit", ignored))
        NDIStreamLog::text(Log::Warning,
                           "Parameter 'startAfterInit' was removed as it was not used anymore");
    if (p.param("blockingInit", ignored))
        NDIStreamLog::text(Log::Warning,
                           "Parameter 'blockingInit' was removed as it was not used anymore");
}

void writeMaxRange(Properties& p, int maxRange, const std::vector<std::string>& options)
{
    if (options.empty()) return;
    p.setParam("maxRange", maxRange);
    p.setParamType("maxRange", PropertiesDetail::EnumIndex);
    p.setParamAttributes("maxRange", {Properties::Attribute("values", joinOptions(options))});
}

bool volumeIsOffered(int maxRange, const std::vector<std::string>& options)
{
    if (options.empty() || (maxRange >= 0 && static_cast<std::size_t>(maxRange) < options.size()))
        return true;
    NDIStreamLog::log(Log::Error, [&] {
        std::string choices;
        for (std::size_t i = 0; i < options.size(); ++i)
            choices += (i ? "; " : "") + std::to_string(i) + ": " + options[i];
        return "Operating volume " + std::to_string(maxRange) +
               " is not one the system offers; choose one of " + choices;
    });
    return false;
}

}  // namespace Velantor::StreamSettingKeys
