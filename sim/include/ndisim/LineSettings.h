#pragma once
// Settings of one end of a serial line. Two ends understand each other only
// when rate, character size, parity and stop bits agree (the handshake lines
// of a pseudo-terminal carry nothing, so they are not compared).
namespace ndisim {

struct LineSettings {
    long baud = 9600;
    int dataBits = 8;
    char parity = 'N';  // 'N', 'O' or 'E'
    int stopBits = 1;
    bool handshake = false;

    bool understands(const LineSettings& other) const
    {
        return baud == other.baud && dataBits == other.dataBits && parity == other.parity &&
               stopBits == other.stopBits;
    }
};

}  // namespace ndisim
