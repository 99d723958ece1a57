#include <ndisim/ToolImage.h>

#include <Velantor/ToolDefinitionImageLayout.h>

#include <cmath>
#include <cstring>

namespace ndisim {

namespace L = Velantor::ToolDefinitionImageLayout;

static_assert(L::kUploadSize == std::tuple_size<ImageBytes>::value,
              "an upload fills the image buffer");

namespace {

float littleEndianFloat(const std::uint8_t* p)
{
    const std::uint32_t bits =
        static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
        static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

}  // namespace

std::optional<ToolImage> parseToolImage(const ImageBytes& bytes)
{
    if (std::memcmp(bytes.data() + L::kMagicOffset, L::kMagic, sizeof L::kMagic) != 0) {
        return std::nullopt;
    }
    ToolImage image;
    for (std::size_t i = 0; i < L::kPartNumberLength; ++i) {
        const std::uint8_t c = bytes[L::kPartNumberOffset + i];
        if (c == 0) break;
        image.partNumber.push_back(c >= 32 && c <= 126 ? static_cast<char>(c) : '?');
    }
    const std::size_t count = bytes[L::kMarkerCountOffset];
    if (count <= L::kMaxMarkers) {
        for (std::size_t m = 0; m < count; ++m) {
            Vec3 v{};
            bool ok = true;
            for (std::size_t k = 0; k < 3; ++k) {
                const float f = littleEndianFloat(bytes.data() + L::kMarkersOffset +
                                                  m * L::kMarkerStride + 4 * k);
                ok = ok && std::isfinite(f) && std::fabs(f) <= 1000.0f;
                v[k] = f;
            }
            if (!ok) {
                image.markers.clear();
                break;
            }
            image.markers.push_back(v);
        }
    }
    return image;
}

}  // namespace ndisim
