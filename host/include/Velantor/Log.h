#pragma once
// The host log. Every message has a level (1 debug, 2 information,
// 3 warning, 4 error), a category ("NDI", "ThreadSafeInstruments", ...), the
// text and, optionally, the source file and line (callers that have none pass
// an empty file and -1).
//
// Filtering happens before a message is built, so that a suppressed debug
// message costs nothing:
//
//   if (level >= Log::g_globalLevel && Log::isAccepted(level, category))
//     Log::log(level, category, buildMessage(), "", -1);
//
// or, shorter, Log::logIf(level, category, [&] { return buildMessage(); }).
//
// g_globalLevel is the process-wide floor (default 2: information and above;
// the environment variable VELANTOR_LOG_LEVEL, 1 to 4, overrides it at start).
// Categories may have their own threshold, which applies to the category and
// to its dotted sub-categories ("NDI" also covers "NDI.NDIPolarisTrackingStream")
// unless those have a threshold of their own; a category without one uses
// g_globalLevel. log() itself does not filter: it hands the message to every
// installed sink. A sink writing to stderr is installed from the start; tests
// collect messages with a LogCapture.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace Velantor {

struct LogRecord {
    int level = 0;
    std::string category;
    std::string message;
    std::string file;
    int line = -1;
};

class LogSink {
public:
    virtual ~LogSink() = default;
    // Called on the thread that logs, never under a lock of the log; may be
    // called from several threads at once.
    virtual void write(const LogRecord& record) = 0;
};

class Log {
public:
    enum Level : int { Debug = 1, Info = 2, Warning = 3, Error = 4 };

    static std::atomic<int> g_globalLevel;

    static bool isAccepted(int level, const std::string& category);
    static void log(int level, const std::string& category, const std::string& message,
                    const std::string& file, int line);

    // Builds and logs the message only when the level passes both filters.
    template <typename BuildMessage>
    static void logIf(int level, const std::string& category, BuildMessage&& build)
    {
        if (level >= g_globalLevel.load(std::memory_order_relaxed) && isAccepted(level, category))
            log(level, category, build(), std::string(), -1);
    }

    // Per-category thresholds; clearCategoryLevel returns a category to the
    // global level.
    static void setCategoryLevel(const std::string& category, int level);
    static void clearCategoryLevel(const std::string& category);

    static void addSink(std::shared_ptr<LogSink> sink);
    static void removeSink(const std::shared_ptr<LogSink>& sink);
    // The stderr sink installed at start ("[warning] NDI: text (file:line)").
    static std::shared_ptr<LogSink> stderrSink();

    static const char* levelName(int level);
};

class StderrLogSink : public LogSink {
public:
    void write(const LogRecord& record) override;
};

// Collects every message logged while it exists (tests). Optionally mutes the
// stderr sink meanwhile.
class LogCapture {
public:
    explicit LogCapture(bool muteStderr = false);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<LogRecord> records() const;
    // Texts of the messages, optionally only those of one category.
    std::vector<std::string> messages() const;
    std::vector<std::string> messages(const std::string& category) const;
    bool contains(int level, const std::string& category, const std::string& message) const;
    std::size_t count(int level, const std::string& category, const std::string& message) const;
    void clear();

private:
    class Sink;
    std::shared_ptr<Sink> m_sink;
    bool m_mutedStderr;
};

}  // namespace Velantor
