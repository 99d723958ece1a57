#include "IgtlTestClient.h"

#include <igtlClientSocket.h>
#include <igtlMessageHeader.h>
#include <igtlPointMessage.h>
#include <igtlStatusMessage.h>
#include <igtlTransformMessage.h>

#include <cstring>
#include <functional>

namespace igtltest {

struct Client::Impl {
    igtl::ClientSocket::Pointer socket = igtl::ClientSocket::New();
};

Client::Client() : m_impl(new Impl) {}
Client::~Client() { close(); }

bool Client::connect(int port) { return m_impl->socket->ConnectToServer("127.0.0.1", port) == 0; }

void Client::close() { m_impl->socket->CloseSocket(); }

namespace {

// Where the bytes come from: a socket, or a buffer. False when they do not.
using Read = std::function<bool(void* into, int size)>;

template <typename T>
bool receiveBody(const Read& read, igtl::MessageHeader::Pointer& header, typename T::Pointer& body)
{
    body = T::New();
    body->SetMessageHeader(header);
    body->AllocatePack();
    if (!read(body->GetPackBodyPointer(), body->GetPackBodySize())) return false;
    return (body->Unpack(1) & igtl::MessageHeader::UNPACK_BODY) != 0;
}

std::optional<Message> decode(const Read& read)
{
    igtl::MessageHeader::Pointer header = igtl::MessageHeader::New();
    header->InitPack();
    if (!read(header->GetPackPointer(), header->GetPackSize())) return std::nullopt;
    header->Unpack();
    Message m;
    m.type = header->GetDeviceType();
    m.device = header->GetDeviceName();
    igtlUint32 seconds = 0, nanoseconds = 0;
    igtl::TimeStamp::Pointer time = igtl::TimeStamp::New();
    header->GetTimeStamp(time);
    time->GetTimeStamp(&seconds, &nanoseconds);
    // Rounded: the fixed-point fraction does not hold whole milliseconds.
    m.milliseconds = std::uint64_t{seconds} * 1000 + (nanoseconds + 500000) / 1000000;
    if (m.type == "TRANSFORM") {
        igtl::TransformMessage::Pointer body;
        if (!receiveBody<igtl::TransformMessage>(read, header, body)) return std::nullopt;
        igtl::Matrix4x4 matrix;
        body->GetMatrix(matrix);
        for (int r = 0; r < 4; ++r)
            for (int c = 0; c < 4; ++c) m.matrix[r][c] = matrix[r][c];
    } else if (m.type == "STATUS") {
        igtl::StatusMessage::Pointer body;
        if (!receiveBody<igtl::StatusMessage>(read, header, body)) return std::nullopt;
        m.statusCode = body->GetCode();
        m.statusText = body->GetStatusString();
    } else if (m.type == "POINT") {
        igtl::PointMessage::Pointer body;
        if (!receiveBody<igtl::PointMessage>(read, header, body)) return std::nullopt;
        for (int k = 0; k < body->GetNumberOfPointElement(); ++k) {
            igtl::PointElement::Pointer point;
            body->GetPointElement(k, point);
            std::array<float, 3> p{};
            point->GetPosition(p.data());
            m.points.push_back(p);
        }
    } else {
        std::vector<char> skip(static_cast<std::size_t>(header->GetBodySizeToRead()));
        if (!skip.empty() && !read(skip.data(), static_cast<int>(skip.size()))) return std::nullopt;
    }
    return m;
}

}  // namespace

std::optional<Message> Client::next(int timeoutMs)
{
    igtl::Socket& socket = *m_impl->socket;
    if (!socket.GetConnected()) return std::nullopt;
    socket.SetReceiveTimeout(timeoutMs);
    return decode([&](void* into, int size) { return socket.Receive(into, size) == size; });
}

std::vector<Message> decodeAll(const std::string& bytes)
{
    std::size_t at = 0;
    const Read read = [&](void* into, int size) {
        if (size < 0 || bytes.size() - at < static_cast<std::size_t>(size)) return false;
        std::memcpy(into, bytes.data() + at, static_cast<std::size_t>(size));
        at += static_cast<std::size_t>(size);
        return true;
    };
    std::vector<Message> out;
    while (at < bytes.size()) {
        auto m = decode(read);
        if (!m) break;
        out.push_back(*m);
    }
    return out;
}

}  // namespace igtltest
