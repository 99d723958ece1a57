// The operating-volume list of an optical camera (SFLIST:03) and the
// selection of one of them (VSEL).
#include "NDIUtils.h"
#include "NDIUtilsLog.h"

#include <ndi/protocol.h>

#include <locale>
#include <sstream>

namespace Velantor {

namespace {

constexpr std::size_t kRecordLength = 75;
constexpr int kMaxVolumes = 10;
constexpr int kParameterCount = 6;
constexpr std::size_t kParameterStride = 7;
constexpr std::size_t kMagnitudeLength = 6;

void logListFailed()
{
    NDIUtilsLog::log(NDIUtilsLog::Error, [] { return "Query of operating volumes failed"; });
}

void logVolumeFailed(int volume)
{
    NDIUtilsLog::log(NDIUtilsLog::Error, [volume] {
        return "Query of operating volume " + std::to_string(volume) + " failed";
    });
}

// One volume record starting at p; the caller has checked that the record's
// parameter fields (the first 43 characters) lie inside the reply.
NDIUtils::OperatingVolume parseVolume(const std::string& reply, std::size_t p)
{
    NDIUtils::OperatingVolume volume;
    volume.isCube = reply[p] == '9';
    std::ostringstream name;
    name.imbue(std::locale::classic());
    name << (volume.isCube ? "Cube " : "Dome ");
    for (int j = 0; j < kParameterCount; ++j) {
        const std::size_t field = p + 1 + kParameterStride * static_cast<std::size_t>(j);
        const std::string magnitude = reply.substr(field + 1, kMagnitudeLength);
        double value = 0.0;
        if (NDIUtils::isNumber(magnitude)) {
            // Signed integer first, so that "-000000" reads as 0 and not -0.
            const int sign = reply[field] == '+' ? 1 : -1;
            value = sign * std::stoi(magnitude) / 100.0;
        }
        volume.parameters[static_cast<std::size_t>(j)] = value;
        if (j > 0) name << '/';
        name << value;
    }
    volume.name = name.str();
    return volume;
}

}  // namespace

std::vector<NDIUtils::OperatingVolume> NDIUtils::parseOperatingVolumes(const std::string& reply)
{
    NDIUtilsLog::log(NDIUtilsLog::Debug, [&reply] { return reply; });

    const int count = reply.empty() ? -1 : reply[0] - '0';
    if (count < 0 || count > kMaxVolumes) {
        logListFailed();
        return {};
    }
    std::vector<OperatingVolume> volumes(static_cast<std::size_t>(count));
    if (count == 0) return {};
    if (reply.size() < kRecordLength) {
        logVolumeFailed(0);
        return {};
    }
    // Each step only goes on to the next record when the reply reaches the end
    // of that record's parameter fields, so no read leaves the reply.
    for (int i = 1;; ++i) {
        const std::size_t p = 1 + kRecordLength * static_cast<std::size_t>(i - 1);
        volumes[static_cast<std::size_t>(i - 1)] = parseVolume(reply, p);
        if (i == count) return volumes;
        if (reply.size() < kRecordLength * static_cast<std::size_t>(i + 1)) {
            logVolumeFailed(i);
            return {};
        }
    }
}

std::vector<NDIUtils::OperatingVolume> NDIUtils::queryOperatingVolumes(NdiConnection* connection,
                                                                       int volumeIndex)
{
    const char* reply = ndiCommand(connection, "SFLIST:%02X", 3);
    // Failure is told by the error code, not the text: a reply with a bad CRC
    // still leaves its unchecked text behind.
    if (ndiGetError(connection) != 0 || reply == nullptr) {
        logListFailed();
        return {};
    }
    std::vector<OperatingVolume> volumes = parseOperatingVolumes(reply);
    if (!volumes.empty()) ndiCommand(connection, "VSEL:%d", volumeIndex + 1);
    return volumes;
}

bool NDIUtils::isNumber(const std::string& text)
{
    if (text.empty()) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

}  // namespace Velantor
