#pragma once
// Takes over the host log for ndi-track: shows messages on stderr (or holds
// them for the live table, which shows them above itself), counts the errors
// and keeps the error texts so that a failure can be explained to the user.
#include <Velantor/Log.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace ndi_track {

class LogRelay : public Velantor::LogSink, public std::enable_shared_from_this<LogRelay> {
public:
    // Replaces the host's stderr sink with this relay for the relay's lifetime
    // (see install/uninstall); messages below minLevel are not shown.
    explicit LogRelay(int minLevel);

    static std::shared_ptr<LogRelay> install(int minLevel);
    void uninstall();

    void write(const Velantor::LogRecord& record) override;

    // While held, shown messages queue up instead of going to stderr; take()
    // hands them over (formatted lines), release() prints what is queued.
    void hold();
    void release();
    std::vector<std::string> take();

    std::uint64_t errorCount() const;
    std::vector<std::string> errorsSince(std::uint64_t count) const;  // texts, oldest first
    std::string lastError() const;

    static std::string format(const Velantor::LogRecord& record);

private:
    void showLocked(std::string line);
    void flushRepeatsLocked();

    const int m_minLevel;
    mutable std::mutex m_mutex;
    bool m_held = false;
    std::vector<std::string> m_queued;
    std::uint64_t m_errors = 0;
    std::deque<std::string> m_errorTexts;  // the most recent ones
    bool m_installed = false;
    // A system that went away fails every pass, 200 times a second: the same
    // line is shown once and then counted, with a note at most every second.
    std::string m_lastLine;
    std::uint64_t m_repeats = 0;
    std::chrono::steady_clock::time_point m_repeatNoted{};
};

}  // namespace ndi_track
