#include <Velantor/Log.h>
#include <Velantor/OpticalTrackingMarkerIO.h>
#include <Velantor/ToolDefinitionImageLayout.h>

#include <QFile>
#include <QSaveFile>
#include <QString>

#include <cmath>
#include <cstring>
#include <limits>

namespace Velantor::OpticalTrackingMarkerIO {

namespace L = ToolDefinitionImageLayout;

namespace {

constexpr const char* kCategory = "OpticalTrackingMarkerIO";

void putFloat(std::uint8_t* at, float value)
{
    std::uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(bits >> (8 * i));
}

float getFloat(const std::uint8_t* at)
{
    std::uint32_t bits = 0;
    for (int i = 0; i < 4; ++i) bits |= static_cast<std::uint32_t>(at[i]) << (8 * i);
    float value = 0;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

bool fail(std::string* error, const std::string& why)
{
    if (error) *error = why;
    return false;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> toImage(const OpticalTrackingMarker& marker,
                                                 std::string* error)
{
    const auto& geometry = marker.geometry();
    if (geometry.size() > L::kMaxMarkers) {
        fail(error, "marker '" + marker.name() + "' has " + std::to_string(geometry.size()) +
                        " spheres; a tool definition holds at most " +
                        std::to_string(L::kMaxMarkers));
        return std::nullopt;
    }
    std::string partNumber = marker.partNumber();
    if (partNumber.empty() && marker.markerId()) partNumber = std::to_string(*marker.markerId());
    if (partNumber.size() > L::kPartNumberLength) {
        fail(error, "part number of marker '" + marker.name() + "' is longer than " +
                        std::to_string(L::kPartNumberLength) + " characters");
        return std::nullopt;
    }

    std::vector<std::uint8_t> image(L::kImageSize, 0);
    std::memcpy(image.data() + L::kMagicOffset, L::kMagic, sizeof L::kMagic);
    std::memcpy(image.data() + L::kSecondMagicOffset, L::kMagic, sizeof L::kMagic);
    image[L::kMarkerCountOffset] = static_cast<std::uint8_t>(geometry.size());
    for (std::size_t i = 0; i < geometry.size(); ++i) {
        for (int axis = 0; axis < 3; ++axis) {
            const double v = geometry[i][axis];
            // A coordinate that does not survive as a finite float would place a
            // sphere somewhere else than the user defined it.
            if (!std::isfinite(v) || std::fabs(v) > std::numeric_limits<float>::max()) {
                fail(error,
                     "marker '" + marker.name() + "' has a coordinate that is not a finite number");
                return std::nullopt;
            }
            putFloat(image.data() + L::kMarkersOffset + i * L::kMarkerStride +
                         static_cast<std::size_t>(axis) * 4,
                     static_cast<float>(v));
        }
    }
    std::memcpy(image.data() + L::kPartNumberOffset, partNumber.data(), partNumber.size());
    return image;
}

bool saveToFile(const OpticalTrackingMarker& marker, const Filesystem::Path& path)
{
    std::string why;
    const auto image = toImage(marker, &why);
    if (!image) {
        Log::logIf(Log::Error, kCategory,
                   [&] { return "Cannot save " + path.string() + ": " + why; });
        return false;
    }
    QSaveFile file(QString::fromStdString(path.string()));
    if (!file.open(QIODevice::WriteOnly)) {
        Log::logIf(Log::Error, kCategory, [&] {
            return "Cannot save " + path.string() + ": " + file.errorString().toStdString();
        });
        return false;
    }
    const auto size = static_cast<qint64>(image->size());
    if (file.write(reinterpret_cast<const char*>(image->data()), size) != size || !file.commit()) {
        Log::logIf(Log::Error, kCategory, [&] {
            return "Cannot save " + path.string() + ": " + file.errorString().toStdString();
        });
        file.cancelWriting();
        return false;
    }
    return true;
}

std::optional<OpticalTrackingMarker> fromImage(const std::uint8_t* data, std::size_t size,
                                               std::string* error)
{
    if (!data || size < L::kImageSize) {
        fail(error, "a tool definition has " + std::to_string(L::kImageSize) + " bytes, this one " +
                        std::to_string(size));
        return std::nullopt;
    }
    if (std::memcmp(data + L::kMagicOffset, L::kMagic, sizeof L::kMagic) != 0 ||
        std::memcmp(data + L::kSecondMagicOffset, L::kMagic, sizeof L::kMagic) != 0) {
        fail(error, "not a tool definition (no NDI magic)");
        return std::nullopt;
    }
    const std::size_t count = data[L::kMarkerCountOffset];
    if (count > L::kMaxMarkers) {
        fail(error, "tool definition claims " + std::to_string(count) + " spheres");
        return std::nullopt;
    }
    OpticalTrackingMarker::Geometry geometry;
    for (std::size_t i = 0; i < count; ++i) {
        Eigen::Vector3d v;
        for (int axis = 0; axis < 3; ++axis) {
            const float f = getFloat(data + L::kMarkersOffset + i * L::kMarkerStride +
                                     static_cast<std::size_t>(axis) * 4);
            if (!std::isfinite(f)) {
                fail(error, "tool definition holds a coordinate that is not a finite number");
                return std::nullopt;
            }
            v[axis] = f;
        }
        geometry.push_back(v);
    }
    const char* part = reinterpret_cast<const char*>(data + L::kPartNumberOffset);
    OpticalTrackingMarker marker;
    marker.setGeometry(geometry);
    marker.setPartNumber(std::string(part, strnlen(part, L::kPartNumberLength)));
    return marker;
}

std::optional<OpticalTrackingMarker> loadFromFile(const Filesystem::Path& path, std::string* error)
{
    QFile file(QString::fromStdString(path.string()));
    if (!file.open(QIODevice::ReadOnly)) {
        fail(error, "cannot open " + path.string() + ": " + file.errorString().toStdString());
        return std::nullopt;
    }
    // Read no more than an upload can hold: a huge file is not a tool definition.
    const QByteArray bytes = file.read(static_cast<qint64>(L::kUploadSize) + 1);
    if (bytes.size() > static_cast<int>(L::kUploadSize)) {
        fail(error, path.string() + " is larger than a tool definition");
        return std::nullopt;
    }
    return fromImage(reinterpret_cast<const std::uint8_t*>(bytes.constData()),
                     static_cast<std::size_t>(bytes.size()), error);
}

}  // namespace Velantor::OpticalTrackingMarkerIO
