#include "LogRelay.h"

#include <cstdio>

namespace ndi_track {

namespace {
// Enough to explain a failed open; a long run with a flood of errors keeps
// only the latest.
constexpr std::size_t kKeptErrors = 64;
constexpr std::size_t kMaxQueued = 200;
}  // namespace

LogRelay::LogRelay(int minLevel) : m_minLevel(minLevel) {}

std::shared_ptr<LogRelay> LogRelay::install(int minLevel)
{
    auto relay = std::make_shared<LogRelay>(minLevel);
    // Errors are counted whatever is shown, so the floor never rises above them.
    Velantor::Log::g_globalLevel =
        minLevel < Velantor::Log::Error ? minLevel : Velantor::Log::Error;
    Velantor::Log::removeSink(Velantor::Log::stderrSink());
    Velantor::Log::addSink(relay);
    relay->m_installed = true;
    return relay;
}

void LogRelay::uninstall()
{
    if (!m_installed) return;
    m_installed = false;
    Velantor::Log::removeSink(shared_from_this());
    release();
    Velantor::Log::addSink(Velantor::Log::stderrSink());
}

std::string LogRelay::format(const Velantor::LogRecord& r)
{
    std::string line = "[";
    line += Velantor::Log::levelName(r.level);
    line += "] ";
    if (!r.category.empty()) line += r.category + ": ";
    line += r.message;
    return line;
}

void LogRelay::write(const Velantor::LogRecord& record)
{
    const bool shown = record.level >= m_minLevel;
    std::string line;
    if (shown) line = format(record);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (record.level >= Velantor::Log::Error) {
        ++m_errors;
        m_errorTexts.push_back(record.message);
        if (m_errorTexts.size() > kKeptErrors) m_errorTexts.pop_front();
    }
    if (!shown) return;
    const auto now = std::chrono::steady_clock::now();
    if (line == m_lastLine) {
        ++m_repeats;
        if (now - m_repeatNoted >= std::chrono::seconds(1)) {
            flushRepeatsLocked();
            m_repeatNoted = now;
        }
        return;
    }
    flushRepeatsLocked();
    m_lastLine = line;
    m_repeatNoted = now;
    showLocked(std::move(line));
}

void LogRelay::flushRepeatsLocked()
{
    if (m_repeats == 0) return;
    showLocked("(the last message came " + std::to_string(m_repeats) + " more times)");
    m_repeats = 0;
}

void LogRelay::showLocked(std::string line)
{
    if (m_held) {
        if (m_queued.size() < kMaxQueued) m_queued.push_back(std::move(line));
        return;
    }
    std::fprintf(stderr, "%s\n", line.c_str());
}

void LogRelay::hold()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_held = true;
}

void LogRelay::release()
{
    std::vector<std::string> queued;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        flushRepeatsLocked();
        m_held = false;
        queued.swap(m_queued);
    }
    for (const auto& line : queued) std::fprintf(stderr, "%s\n", line.c_str());
}

std::vector<std::string> LogRelay::take()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::string> out;
    out.swap(m_queued);
    return out;
}

std::uint64_t LogRelay::errorCount() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_errors;
}

std::vector<std::string> LogRelay::errorsSince(std::uint64_t count) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::string> out;
    if (count >= m_errors) return out;
    const std::uint64_t wanted = m_errors - count;
    const std::size_t n =
        wanted < m_errorTexts.size() ? static_cast<std::size_t>(wanted) : m_errorTexts.size();
    out.assign(m_errorTexts.end() - static_cast<std::ptrdiff_t>(n), m_errorTexts.end());
    return out;
}

std::string LogRelay::lastError() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_errorTexts.empty() ? std::string() : m_errorTexts.back();
}

}  // namespace ndi_track
