#pragma once
// An OpenIGTLink client on the library's own sockets and messages, as a
// navigation program would read ndi-track: every message decoded by type.
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace igtltest {

struct Message {
    std::string type;
    std::string device;
    std::uint64_t milliseconds = 0;  // the header's timestamp
    float matrix[4][4] = {};         // TRANSFORM
    int statusCode = 0;              // STATUS
    std::string statusText;
    std::vector<std::array<float, 3>> points;  // POINT
};

// The messages in a run of bytes as a server would send them; stops at the
// first that does not decode.
std::vector<Message> decodeAll(const std::string& bytes);

class Client {
public:
    Client();
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool connect(int port);
    // The next message; nothing when the server closed the connection or
    // none came within `timeoutMs`.
    std::optional<Message> next(int timeoutMs = 10000);
    void close();

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace igtltest
