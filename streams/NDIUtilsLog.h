#pragma once
// Logging for NDIUtils: everything goes to the host log under "NDIUtils",
// and a message is only built when the host would accept it.
#include <Velantor/Log.h>

#include <string>
#include <utility>

namespace Velantor::NDIUtilsLog {

enum Level { Debug = 1, Information = 2, Warning = 3, Error = 4 };

inline const std::string& category()
{
    static const std::string name = "NDIUtils";
    return name;
}

template <class BuildMessage>
void log(Level level, BuildMessage&& build)
{
    if (Log::isAccepted(level, category()))
        Log::log(level, category(), std::string(build()), "", -1);
}

}  // namespace Velantor::NDIUtilsLog
