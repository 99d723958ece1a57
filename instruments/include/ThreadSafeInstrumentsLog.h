#pragma once
// The registry's error messages, gathered while its lock is held and handed to
// the host log only once the lock is released: a log sink may then look at the
// registry (a GUI log view, say) without dead-locking. Declare it before the
// lock guard, so that it is destroyed, and flushes, after the guard unlocked,
// on the normal path as on an exception.
//
// A message is built only when the log would keep it: level 4 (error),
// category "ThreadSafeInstruments", no file and line -1.
#include <Velantor/Log.h>

#include <atomic>
#include <string>
#include <type_traits>
#include <vector>

namespace Velantor {

class ThreadSafeInstrumentsLog {
public:
    static constexpr int kLevel = Log::Error;
    static const char* const kCategory;

    ThreadSafeInstrumentsLog() = default;
    ~ThreadSafeInstrumentsLog();
    ThreadSafeInstrumentsLog(const ThreadSafeInstrumentsLog&) = delete;
    ThreadSafeInstrumentsLog& operator=(const ThreadSafeInstrumentsLog&) = delete;

    // The message is the pieces (texts, or integers written in decimal)
    // joined without separators.
    template <typename... Parts>
    void error(const Parts&... parts)
    {
        if (!accepted()) return;
        std::string message;
        (append(message, parts), ...);
        m_messages.push_back(std::move(message));
    }

private:
    static bool accepted();

    template <typename Part>
    static void append(std::string& message, const Part& part)
    {
        if constexpr (std::is_integral_v<Part>)
            message += std::to_string(part);
        else
            message += part;
    }

    std::vector<std::string> m_messages;
};

}  // namespace Velantor
