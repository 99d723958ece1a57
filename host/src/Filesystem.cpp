#include <Velantor/Filesystem.h>

#include <sys/stat.h>

namespace Velantor::Filesystem {

std::string Path::fileName() const
{
    const auto slash = m_text.rfind('/');
    return slash == std::string::npos ? m_text : m_text.substr(slash + 1);
}

std::string Path::baseName() const
{
    const std::string name = fileName();
    const auto dot = name.rfind('.');
    return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

std::string Path::extension() const
{
    const std::string name = fileName();
    const auto dot = name.rfind('.');
    return dot == std::string::npos || dot == 0 ? std::string() : name.substr(dot + 1);
}

Path Path::parentPath() const
{
    const auto slash = m_text.rfind('/');
    if (slash == std::string::npos) return Path();
    if (slash == 0) return Path("/");
    return Path(m_text.substr(0, slash));
}

Path Path::operator/(const std::string& element) const
{
    if (m_text.empty()) return Path(element);
    if (m_text.back() == '/') return Path(m_text + element);
    return Path(m_text + "/" + element);
}

bool Path::exists() const
{
    struct stat st {};
    return !m_text.empty() && ::stat(m_text.c_str(), &st) == 0;
}

bool Path::isFile() const
{
    struct stat st {};
    return !m_text.empty() && ::stat(m_text.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool Path::isDirectory() const
{
    struct stat st {};
    return !m_text.empty() && ::stat(m_text.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace Velantor::Filesystem
