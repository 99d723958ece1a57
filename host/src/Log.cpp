#include <Velantor/Log.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>

namespace Velantor {

namespace {

int initialGlobalLevel()
{
    if (const char* env = std::getenv("VELANTOR_LOG_LEVEL")) {
        const int level = std::atoi(env);
        if (level >= Log::Debug && level <= Log::Error) return level;
    }
    return Log::Info;
}

struct LogState {
    std::mutex mutex;
    std::map<std::string, int> categoryLevels;
    std::vector<std::shared_ptr<LogSink>> sinks;
    std::shared_ptr<LogSink> stderrSink = std::make_shared<StderrLogSink>();
    LogState() { sinks.push_back(stderrSink); }
};

LogState& state()
{
    // Never destroyed: threads may still log while static objects go away.
    static LogState* s = new LogState;
    return *s;
}

}  // namespace

std::atomic<int> Log::g_globalLevel{initialGlobalLevel()};

bool Log::isAccepted(int level, const std::string& category)
{
    LogState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (!s.categoryLevels.empty()) {
        // The most specific configured category: "a.b.c", then "a.b", then "a".
        std::string c = category;
        for (;;) {
            auto it = s.categoryLevels.find(c);
            if (it != s.categoryLevels.end()) return level >= it->second;
            const auto dot = c.rfind('.');
            if (dot == std::string::npos) break;
            c.resize(dot);
        }
    }
    return level >= g_globalLevel.load(std::memory_order_relaxed);
}

void Log::log(int level, const std::string& category, const std::string& message,
              const std::string& file, int line)
{
    std::vector<std::shared_ptr<LogSink>> sinks;
    {
        LogState& s = state();
        std::lock_guard<std::mutex> lock(s.mutex);
        sinks = s.sinks;
    }
    const LogRecord record{level, category, message, file, line};
    for (const auto& sink : sinks) sink->write(record);
}

void Log::setCategoryLevel(const std::string& category, int level)
{
    LogState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.categoryLevels[category] = level;
}

void Log::clearCategoryLevel(const std::string& category)
{
    LogState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.categoryLevels.erase(category);
}

void Log::addSink(std::shared_ptr<LogSink> sink)
{
    if (!sink) return;
    LogState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (std::find(s.sinks.begin(), s.sinks.end(), sink) == s.sinks.end())
        s.sinks.push_back(std::move(sink));
}

void Log::removeSink(const std::shared_ptr<LogSink>& sink)
{
    LogState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.sinks.erase(std::remove(s.sinks.begin(), s.sinks.end(), sink), s.sinks.end());
}

std::shared_ptr<LogSink> Log::stderrSink() { return state().stderrSink; }

const char* Log::levelName(int level)
{
    switch (level) {
    case Debug: return "debug";
    case Info: return "info";
    case Warning: return "warning";
    case Error: return "error";
    default: return "log";
    }
}

void StderrLogSink::write(const LogRecord& r)
{
    // One fprintf per message keeps lines from different threads whole.
    if (r.file.empty())
        std::fprintf(stderr, "[%s] %s: %s\n", Log::levelName(r.level), r.category.c_str(),
                     r.message.c_str());
    else
        std::fprintf(stderr, "[%s] %s: %s (%s:%d)\n", Log::levelName(r.level), r.category.c_str(),
                     r.message.c_str(), r.file.c_str(), r.line);
}

class LogCapture::Sink : public LogSink {
public:
    void write(const LogRecord& record) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        records.push_back(record);
    }
    mutable std::mutex mutex;
    std::vector<LogRecord> records;
};

LogCapture::LogCapture(bool muteStderr)
    : m_sink(std::make_shared<Sink>()), m_mutedStderr(muteStderr)
{
    Log::addSink(m_sink);
    if (m_mutedStderr) Log::removeSink(Log::stderrSink());
}

LogCapture::~LogCapture()
{
    Log::removeSink(m_sink);
    if (m_mutedStderr) Log::addSink(Log::stderrSink());
}

std::vector<LogRecord> LogCapture::records() const
{
    std::lock_guard<std::mutex> lock(m_sink->mutex);
    return m_sink->records;
}

std::vector<std::string> LogCapture::messages() const
{
    std::vector<std::string> out;
    for (const auto& r : records()) out.push_back(r.message);
    return out;
}

std::vector<std::string> LogCapture::messages(const std::string& category) const
{
    std::vector<std::string> out;
    for (const auto& r : records())
        if (r.category == category) out.push_back(r.message);
    return out;
}

bool LogCapture::contains(int level, const std::string& category, const std::string& message) const
{
    return count(level, category, message) > 0;
}

std::size_t LogCapture::count(int level, const std::string& category,
                              const std::string& message) const
{
    const auto all = records();
    return static_cast<std::size_t>(std::count_if(all.begin(), all.end(), [&](const LogRecord& r) {
        return r.level == level && r.category == category && r.message == message;
    }));
}

void LogCapture::clear()
{
    std::lock_guard<std::mutex> lock(m_sink->mutex);
    m_sink->records.clear();
}

}  // namespace Velantor
