// A small stand-in for a measurement system, for the protocol tests: a thread
// that serves the master side of a pseudo-terminal or one loopback TCP peer,
// collects each command (the bytes before a carriage return) and answers
// with what the test's handler returns.
//
// On a pty it also plays the line: it has a speed of its own and treats
// bytes that arrive while the host's line speed (read from the master)
// differs as noise, and a break (learnt through tests/support's break
// notifier) returns it to 9600 baud and makes it answer "RESETBE6F".
#pragma once

#include <termios.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace nditest {

struct Reply {
    std::string bytes;       // written back as they are (nothing: no answer)
    speed_t newSpeed = 0;    // the device's line speed after answering (0: keep)
    bool hangUp = false;     // TCP: close the connection after the bytes
};

using Handler = std::function<Reply(const std::string& command)>;

// Frames a text reply the way a device does: text, CRC-16 as four upper-case
// hex digits, carriage return. The CRC comes from Boost.CRC.
std::string framed(const std::string& text);
// The same CRC as a number, for checking what the host sent.
unsigned int referenceCrc(const std::string& bytes);
// A binary reply: the C4 A5 header with the body's length, the header CRC,
// the body and its CRC, both little-endian.
std::string binaryFrame(const std::string& body);

class ScriptedDevice {
public:
    enum class Line { Pty, Tcp };

    explicit ScriptedDevice(Line line, Handler handler);
    ~ScriptedDevice();
    ScriptedDevice(const ScriptedDevice&) = delete;
    ScriptedDevice& operator=(const ScriptedDevice&) = delete;

    const std::string& path() const { return path_; } // pty slave
    int port() const { return port_; }                 // TCP
    int master() const { return master_; }

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
    void serve(int fd);
    void handleBytes(int fd, const char* data, size_t n);
    void onBreak(int fd);
    void writeAll(int fd, const std::string& bytes);

    Line line_;
    Handler handler_;
    int master_ = -1;
    int slaveKeeper_ = -1; // keeps the pty from hanging up between opens
    int listener_ = -1;
    int breakSocket_ = -1;
    int wake_[2] = {-1, -1};
    std::string path_;
    std::string breakPath_;
    int port_ = 0;
    speed_t speed_ = B9600;
    std::string breakReply_ = "RESETBE6F\r";
    std::string pending_;
    bool hangUpNow_ = false;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<std::string> commands_;
    int breaks_ = 0;
    std::thread thread_;
};

} // namespace nditest
