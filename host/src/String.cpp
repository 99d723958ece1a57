#include <Velantor/String.h>

namespace Velantor::String {

std::vector<std::string> split(const std::string& text, const std::string& separator,
                               bool skipEmpty)
{
    std::vector<std::string> pieces;
    if (separator.empty()) {
        if (!(skipEmpty && text.empty())) pieces.push_back(text);
        return pieces;
    }
    std::size_t start = 0;
    for (;;) {
        const std::size_t at = text.find(separator, start);
        const std::size_t end = at == std::string::npos ? text.size() : at;
        if (!(skipEmpty && end == start)) pieces.push_back(text.substr(start, end - start));
        if (at == std::string::npos) break;
        start = at + separator.size();
    }
    return pieces;
}

std::vector<std::string> split(const std::string& text, char separator, bool skipEmpty)
{
    return split(text, std::string(1, separator), skipEmpty);
}

std::string trim(const std::string& text)
{
    const char* ws = " \t\r\n\f\v";
    const auto first = text.find_first_not_of(ws);
    if (first == std::string::npos) return std::string();
    const auto last = text.find_last_not_of(ws);
    return text.substr(first, last - first + 1);
}

bool contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

std::string join(const std::vector<std::string>& pieces, const std::string& separator)
{
    std::string out;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        if (i) out += separator;
        out += pieces[i];
    }
    return out;
}

}  // namespace Velantor::String
