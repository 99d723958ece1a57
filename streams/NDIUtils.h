#pragma once
// Helpers shared by the NDI tracking streams: the operating-volume list, the
// network camera's address from its PTP traffic, address checking, and the
// upload of tool-definition images to a port handle.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <ndi/connection.h>

namespace Velantor {

class NDIUtils {
public:
    // One characterised measurement volume of an optical camera, as shown to
    // the user as a tracking-range option.
    struct OperatingVolume {
        std::string name;  // "Cube " or "Dome " + the six parameters, "/"-separated
        std::array<double, 6> parameters{};  // the first six shape parameters, in reply order
        bool isCube = false;                 // shape type '9'
    };

    // Asks the system for its operating volumes (SFLIST:03) and, when the whole
    // list was read, selects the one at volumeIndex (0-based; sent as VSEL with
    // volumeIndex + 1, unchecked). Any failure gives an empty list, never a
    // partial one, and selects nothing.
    static std::vector<OperatingVolume> queryOperatingVolumes(NdiConnection* connection,
                                                              int volumeIndex);

    // The decoding half of queryOperatingVolumes, for a checked SFLIST:03 reply
    // text (CRC removed): logs the reply and any failure exactly as the query
    // does. Needs no connection.
    static std::vector<OperatingVolume> parseOperatingVolumes(const std::string& reply);

    // True for a non-empty text of ASCII digits only (no sign, blank or point).
    static bool isNumber(const std::string& text);

    // Listens for PTP event messages (224.0.1.129, port 319) on every local
    // interface address for about timeLimitMs and returns the bare dotted
    // address of the first sender heard, or "" when none was. The first sender
    // on any interface wins, so on a shared network the camera's address should
    // be configured explicitly.
    static std::string detectCameraIpAddress(int timeLimitMs);

    // The diagnostic log lines for one datagram received during detection
    // (sender line, then the decoded PTP header fields when the datagram is
    // long enough). Never changes the detection result; needs no socket.
    static void logPtpDatagram(const std::string& sender, const std::uint8_t* data,
                               std::size_t size);

    // True when four dot-joined groups of one to three digits occur anywhere in
    // text. Ranges are not checked: this tells an address from "auto" or a
    // device name, it does not validate one.
    static bool isValidIp(const std::string& text);

    // Uploads a tool-definition image to portHandle with 16 PVWR commands (the
    // first 1024 bytes, zero-padded). path is a file, or an application
    // resource when it starts with ":/". Returns 0 on success, -1 when the image
    // could not be read (nothing sent) or a command failed (see ndiGetError).
    // On success partNumber receives the image's part number when that field is
    // a plain decimal number, and is left unchanged otherwise; a digit string
    // too large for an int throws std::out_of_range (after the upload).
    static int ndiPVWRFromResource(NdiConnection* connection, int portHandle,
                                   const std::string& path, int& partNumber);

    // Requests a port handle for a wireless tool (PHRQ) and returns the handle
    // the system assigned. The error is not checked here: after a failed
    // request this is the previous request's handle, so check ndiGetError.
    static int requestNewPortHandle(NdiConnection* connection);
};

}  // namespace Velantor
