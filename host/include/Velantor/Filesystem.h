#pragma once
// A file system path as text (UTF-8, '/'-separated).
#include <string>

namespace Velantor::Filesystem {

class Path {
public:
    Path() = default;
    Path(std::string text) : m_text(std::move(text)) {}   // NOLINT: implicit on purpose
    Path(const char* text) : m_text(text ? text : "") {}  // NOLINT

    const std::string& string() const { return m_text; }
    bool empty() const { return m_text.empty(); }
    // The last element ("a/b/c.rom" -> "c.rom"), its name without the last
    // extension ("c") and the extension without the dot ("rom").
    std::string fileName() const;
    std::string baseName() const;
    std::string extension() const;
    Path parentPath() const;
    Path operator/(const std::string& element) const;

    bool exists() const;
    bool isFile() const;
    bool isDirectory() const;

    friend bool operator==(const Path& a, const Path& b) { return a.m_text == b.m_text; }
    friend bool operator!=(const Path& a, const Path& b) { return !(a == b); }

private:
    std::string m_text;
};

}  // namespace Velantor::Filesystem
