#pragma once
// A tool-definition image that names a tool by its part number only: the
// simulator then places the markers of its own tool of that part number.
#include <Velantor/ToolDefinitionImageLayout.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace benchsupport {

inline void writePartNumberImage(const std::string& path, const std::string& partNumber)
{
    namespace L = Velantor::ToolDefinitionImageLayout;
    std::vector<char> image(L::kImageSize, 0);
    std::memcpy(image.data() + L::kMagicOffset, L::kMagic, 4);
    std::memcpy(image.data() + L::kSecondMagicOffset, L::kMagic, 4);
    std::memcpy(image.data() + L::kPartNumberOffset, partNumber.data(),
                std::min(partNumber.size(), L::kPartNumberLength));
    std::ofstream(path, std::ios::binary)
        .write(image.data(), static_cast<std::streamsize>(image.size()));
}

}  // namespace benchsupport
