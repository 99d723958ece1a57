#pragma once
// Tool-definition files the simulator knows by their part numbers, for
// ndi-track's --rom and --marker.
#include <ndisim/Scenario.h>

#include <Velantor/ToolDefinitionImageLayout.h>

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

namespace tracktest {

inline void writeImage(const std::string& path, const std::string& partNumber)
{
    namespace L = Velantor::ToolDefinitionImageLayout;
    std::vector<char> image(L::kImageSize, 0);
    std::copy(L::kMagic, L::kMagic + 4, image.begin() + L::kMagicOffset);
    std::copy(L::kMagic, L::kMagic + 4, image.begin() + L::kSecondMagicOffset);
    std::copy(partNumber.begin(), partNumber.end(), image.begin() + L::kPartNumberOffset);
    std::ofstream(path, std::ios::binary)
        .write(image.data(), static_cast<std::streamsize>(image.size()));
}

// A file in dir for each of the scenario's tools, each passed with option as
// NAME=FILE, or as FILE alone when not named.
inline QStringList toolFiles(const ndisim::Scenario& scenario, const QTemporaryDir& dir,
                             const QString& option, bool named)
{
    QStringList args;
    for (const ndisim::ToolDescription& tool : scenario.tools) {
        const std::string path =
            dir.filePath(QString::fromStdString(tool.partNumber + ".rom")).toStdString();
        writeImage(path, tool.partNumber);
        args << option << QString::fromStdString(named ? tool.name + "=" + path : path);
    }
    return args;
}

}  // namespace tracktest
