#include "ThreadSafeInstrumentsLog.h"

namespace Velantor {

const char* const ThreadSafeInstrumentsLog::kCategory = "ThreadSafeInstruments";

bool ThreadSafeInstrumentsLog::accepted()
{
    return kLevel >= Log::g_globalLevel.load(std::memory_order_relaxed) &&
           Log::isAccepted(kLevel, kCategory);
}

ThreadSafeInstrumentsLog::~ThreadSafeInstrumentsLog()
{
    for (const std::string& message : m_messages) {
        try {
            Log::log(kLevel, kCategory, message, std::string(), -1);
        } catch (...) {
            // This may run while a callback's exception unwinds: a failing
            // sink must not turn that into a termination.
        }
    }
}

}  // namespace Velantor
