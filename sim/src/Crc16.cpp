#include <ndisim/Crc16.h>

#include <boost/crc.hpp>

namespace ndisim {

std::uint16_t crc16(const void* data, std::size_t size)
{
    boost::crc_16_type crc;
    crc.process_bytes(data, size);
    return static_cast<std::uint16_t>(crc.checksum());
}

}  // namespace ndisim
