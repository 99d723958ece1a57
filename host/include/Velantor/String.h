#pragma once
// Text helpers.
#include <string>
#include <vector>

namespace Velantor::String {

// Splits at every occurrence of the separator (an empty separator gives the
// whole text); empty pieces are kept unless skipEmpty.
std::vector<std::string> split(const std::string& text, const std::string& separator,
                               bool skipEmpty = false);
std::vector<std::string> split(const std::string& text, char separator, bool skipEmpty = false);
// Without leading and trailing white space (space, tab, CR, LF, FF, VT).
std::string trim(const std::string& text);
bool contains(const std::string& text, const std::string& part);
std::string join(const std::vector<std::string>& pieces, const std::string& separator);

}  // namespace Velantor::String
