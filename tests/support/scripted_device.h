// A small stand-in for a measurement system whose every answer the test
// chooses: a thread that serves the master side of a pseudo-terminal or one
// loopback TCP peer at a time, collects each command (the bytes before a
// carriage return) and answers with what the test's handler returns. Tests
// build the replies with reply_encoder.h.
//
// On a pty it also plays the line: it has a speed of its own and treats
// bytes that arrive while the host's line speed (read from the master)
// differs as noise, and a break (learnt through the simulator's break
// notifier, which the test program must link) returns it to 9600 baud and
// makes it answer "RESETBE6F".
#pragma once

#include <termios.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace nditest {

struct Reply {
    // Implicit, so that a handler may simply return the reply's bytes.
    Reply(std::string replyBytes = {}) : bytes(std::move(replyBytes)) {}

    std::string bytes;     // written back as they are (nothing: no answer)
    speed_t newSpeed = 0;  // the device's line speed after answering (0: keep)
    bool hangUp = false;   // TCP: close the connection after the bytes
};

using Handler = std::function<Reply(const std::string& command)>;

class ScriptedDevice {
public:
    enum class Line { Pty, Tcp };

    // Test: the device keeps every command for the test to read, and asks
    // for real-time priority where the scheduler allows it (root), so that
    // it stays as prompt as a real system on a loaded machine.
    // Benchmark (loopback TCP): an ordinary thread that keeps nothing and
    // waits in accept and recv rather than in poll, so that what it costs
    // each exchange stays what a benchmark's floor was measured against: it
    // does not grow with the run, change with the benchmark's privileges or
    // add a wake-up of its own. commands() stays empty.
    enum class Use { Test, Benchmark };

    ScriptedDevice(Line line, Handler handler, Use use = Use::Test);
    ~ScriptedDevice();
    ScriptedDevice(const ScriptedDevice&) = delete;
    ScriptedDevice& operator=(const ScriptedDevice&) = delete;

    const std::string& path() const { return m_path; }  // pty slave
    int port() const { return m_port; }                 // TCP
    int master() const { return m_master; }

    // Pty only, before the host opens the line.
    void setSpeed(speed_t speed);
    void setBreakReply(std::string reply);

    // The host line's speed as the device sees it (pty master).
    speed_t hostSpeed() const;
    struct termios hostSettings() const;

    std::vector<std::string> commands() const;
    int breaks() const;
    // Waits (without a time limit: the test's own time-out bounds it) until
    // the device has seen count commands.
    void waitForCommands(size_t count) const;

private:
    void run();
    void serveBlocking();
    void serve(int fd);
    void handleBytes(int fd, const char* data, size_t n);
    void onBreak(int fd);
    void writeAll(int fd, const std::string& bytes);

    Line m_line;
    Handler m_handler;
    Use m_use;
    int m_master = -1;
    int m_slaveKeeper = -1;  // keeps the pty from hanging up between opens
    int m_listener = -1;
    int m_breakSocket = -1;
    int m_wake[2] = {-1, -1};
    std::string m_path;
    std::string m_breakPath;
    int m_port = 0;
    speed_t m_speed = B9600;
    std::string m_breakReply = "RESETBE6F\r";
    std::string m_pending;
    bool m_hangUpNow = false;

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::vector<std::string> m_commands;
    int m_breaks = 0;
    int m_connection = -1;  // Benchmark: the peer served, for the destructor to end
    bool m_stopping = false;
    std::thread m_thread;
};

}  // namespace nditest
