// Upload of tool-definition images from files or from the plugin's
// resources, and the port-handle request that precedes it.
#include "NDIUtils.h"
#include "NDIUtilsLog.h"

#include <ndi/protocol.h>
#include <ndi/upload.h>

#include <QFile>
#include <QString>

#include <Velantor/ToolDefinitionImageLayout.h>

#include <array>
#include <cstdio>
#include <cstring>

namespace Velantor {

namespace {

using Image = std::array<unsigned char, NDI_PVWR_IMAGE_SIZE>;

bool isResourcePath(const std::string& path)
{
    return path.size() > 2 && path.compare(0, 2, ":/") == 0;
}

bool loadResource(const std::string& path, Image& image)
{
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly)) {
        NDIUtilsLog::log(NDIUtilsLog::Error,
                         [&] { return "Failed to open Qt resource ROM file: " + path; });
        return false;
    }
    // Only the first bytes are ever sent; reading more would just be copied
    // and dropped.
    const qint64 n =
        file.read(reinterpret_cast<char*>(image.data()), static_cast<qint64>(image.size()));
    return n >= 0;
}

// A file that opens but cannot be read (a directory, an I/O error) fails as
// well: sending the zero-filled buffer instead would load an empty tool and
// report success.
bool loadFile(const std::string& path, Image& image)
{
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    (void)std::fread(image.data(), 1, image.size(), file);
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    return !failed;
}

// The part-number text: from its offset up to the first NUL, never past the
// uploaded bytes.
std::string partNumberText(const Image& image)
{
    constexpr std::size_t offset = ToolDefinitionImageLayout::kPartNumberOffset;
    static_assert(offset < NDI_PVWR_IMAGE_SIZE, "part number must lie inside the uploaded image");
    const char* text = reinterpret_cast<const char*>(image.data()) + offset;
    return std::string(text, strnlen(text, image.size() - offset));
}

}  // namespace

int NDIUtils::ndiPVWRFromResource(NdiConnection* connection, int portHandle,
                                  const std::string& path, int& partNumber)
{
    if (connection == nullptr) return -1;
    connection->LastError = 0;

    Image image{};
    const bool loaded = isResourcePath(path) ? loadResource(path, image) : loadFile(path, image);
    if (!loaded) return -1;
    if (ndiPVWRFromImage(connection, portHandle, image.data()) != 0) return -1;

    const std::string text = partNumberText(image);
    if (isNumber(text)) partNumber = std::stoi(text);
    return 0;
}

int NDIUtils::requestNewPortHandle(NdiConnection* connection)
{
    ndiCommand(connection, "PHRQ:*********1****");
    return ndiGetPHRQHandle(connection);
}

}  // namespace Velantor
