#pragma once
// Logging for the NDI streams: everything goes to the host log under "NDI",
// and a message is only built when the host would accept it.
#include <Velantor/Log.h>

#include <string>
#include <utility>

namespace Velantor::NDIStreamLog {

inline const std::string& category()
{
    static const std::string name = "NDI";
    return name;
}

template <class BuildMessage>
void log(int level, BuildMessage&& build)
{
    Log::logIf(level, category(), [&] { return std::string(build()); });
}

inline void text(int level, const char* message)
{
    Log::logIf(level, category(), [message] { return std::string(message); });
}

// The marker stream says what concerns its settings and its markers under a
// category of its own.
inline const std::string& markerStreamCategory()
{
    static const std::string name = "NDI.NDIPolarisTrackingStream";
    return name;
}

template <class BuildMessage>
void markerStreamLog(int level, BuildMessage&& build)
{
    Log::logIf(level, markerStreamCategory(), [&] { return std::string(build()); });
}

}  // namespace Velantor::NDIStreamLog
