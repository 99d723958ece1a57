// Reading tool-definition images back in the tests: a whole file, and a
// little-endian float at an offset of the image layout.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

#include <cstdint>
#include <cstring>

namespace toolimage {

inline QByteArray readAll(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return QByteArray();
    return file.readAll();
}

inline float floatAt(const QByteArray& bytes, std::size_t offset)
{
    std::uint32_t bits = 0;
    for (int i = 3; i >= 0; --i)
        bits = (bits << 8) | static_cast<unsigned char>(bytes[int(offset) + i]);
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

}  // namespace toolimage
