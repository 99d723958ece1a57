#include <Velantor/Properties.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace Velantor {

using PropertiesDetail::Value;

Properties::Properties(std::string name) : m_name(std::move(name)) {}

Properties::Properties(const Properties& other) : m_name(other.m_name) { copyFrom(other); }

Properties& Properties::operator=(const Properties& other)
{
    if (this != &other) {
        m_name = other.m_name;
        copyFrom(other);
    }
    return *this;
}

Properties::Properties(Properties&&) noexcept = default;
Properties& Properties::operator=(Properties&&) noexcept = default;
Properties::~Properties() = default;

void Properties::copyFrom(const Properties& other)
{
    if (this == &other) return;
    // Build the copy first: other may be one of our own sub-blocks.
    std::vector<std::unique_ptr<Properties>> children;
    children.reserve(other.m_children.size());
    for (const auto& c : other.m_children) children.push_back(std::make_unique<Properties>(*c));
    m_params = other.m_params;
    m_attributes = other.m_attributes;
    m_children = std::move(children);
}

void Properties::clear()
{
    m_params.clear();
    m_attributes.clear();
    m_children.clear();
}

Properties::Param* Properties::findParam(const std::string& key)
{
    for (auto& p : m_params)
        if (p.key == key) return &p;
    return nullptr;
}

const Properties::Param* Properties::findParam(const std::string& key) const
{
    for (const auto& p : m_params)
        if (p.key == key) return &p;
    return nullptr;
}

Properties::Param& Properties::paramFor(const std::string& key)
{
    if (Param* p = findParam(key)) return *p;
    m_params.push_back(Param{key, Value(std::string()), PropertiesDetail::Default, {}});
    return m_params.back();
}

const Value* Properties::rawParam(const std::string& key) const
{
    const Param* p = findParam(key);
    return p ? &p->value : nullptr;
}

void Properties::setRaw(const std::string& key, Value value)
{
    paramFor(key).value = std::move(value);
}

bool Properties::removeParam(const std::string& key)
{
    for (auto it = m_params.begin(); it != m_params.end(); ++it)
        if (it->key == key) {
            m_params.erase(it);
            return true;
        }
    return false;
}

std::vector<std::string> Properties::paramNames() const
{
    std::vector<std::string> names;
    names.reserve(m_params.size());
    for (const auto& p : m_params) names.push_back(p.key);
    return names;
}

void Properties::setParamType(const std::string& key, int type)
{
    // Typing a parameter that is not there yet would create an empty text
    // parameter nobody asked for; only existing parameters are typed.
    if (Param* p = findParam(key)) p->type = type;
}

int Properties::paramType(const std::string& key) const
{
    const Param* p = findParam(key);
    if (!p) return PropertiesDetail::Default;
    if (p->type != PropertiesDetail::Default) return p->type;
    switch (p->value.index()) {
    case 0: return PropertiesDetail::Bool;
    case 1: return PropertiesDetail::Int;
    case 2: return PropertiesDetail::Double;
    case 3: return PropertiesDetail::String;
    default: return PropertiesDetail::Vector;
    }
}

void Properties::setParamAttributes(const std::string& key,
                                    const std::vector<Attribute>& attributes)
{
    if (Param* p = findParam(key)) p->attributes = attributes;
}

std::vector<PropertiesDetail::Attribute> Properties::paramAttributes(const std::string& key) const
{
    const Param* p = findParam(key);
    return p ? p->attributes : std::vector<Attribute>();
}

bool Properties::paramAttribute(const std::string& key, const std::string& attributeName,
                                std::string& value) const
{
    const Param* p = findParam(key);
    if (!p) return false;
    for (const auto& a : p->attributes)
        if (a.name == attributeName) {
            value = a.value;
            return true;
        }
    return false;
}

void Properties::setAttributes(const std::vector<Attribute>& attributes)
{
    m_attributes = attributes;
}

bool Properties::attribute(const std::string& attributeName, std::string& value) const
{
    for (const auto& a : m_attributes)
        if (a.name == attributeName) {
            value = a.value;
            return true;
        }
    return false;
}

Properties& Properties::addSubProperties(const std::string& name)
{
    m_children.push_back(std::make_unique<Properties>(name));
    return *m_children.back();
}

Properties& Properties::addSubProperties(const Properties& p)
{
    m_children.push_back(std::make_unique<Properties>(p));
    return *m_children.back();
}

std::vector<Properties*> Properties::subProperties()
{
    std::vector<Properties*> out;
    for (auto& c : m_children) out.push_back(c.get());
    return out;
}

std::vector<const Properties*> Properties::subProperties() const
{
    std::vector<const Properties*> out;
    for (const auto& c : m_children) out.push_back(c.get());
    return out;
}

Properties* Properties::subProperties(const std::string& name)
{
    for (auto& c : m_children)
        if (c->m_name == name) return c.get();
    return nullptr;
}

const Properties* Properties::subProperties(const std::string& name) const
{
    for (const auto& c : m_children)
        if (c->m_name == name) return c.get();
    return nullptr;
}

std::vector<Properties*> Properties::subPropertiesAll(const std::string& name)
{
    std::vector<Properties*> out;
    for (auto& c : m_children)
        if (c->m_name == name) out.push_back(c.get());
    return out;
}

std::vector<const Properties*> Properties::subPropertiesAll(const std::string& name) const
{
    std::vector<const Properties*> out;
    for (const auto& c : m_children)
        if (c->m_name == name) out.push_back(c.get());
    return out;
}

std::size_t Properties::removeSubProperties(const std::string& name)
{
    const auto before = m_children.size();
    std::vector<std::unique_ptr<Properties>> kept;
    for (auto& c : m_children)
        if (c->m_name != name) kept.push_back(std::move(c));
    m_children = std::move(kept);
    return before - m_children.size();
}

bool operator==(const Properties& a, const Properties& b)
{
    if (a.m_name != b.m_name || a.m_attributes != b.m_attributes ||
        a.m_params.size() != b.m_params.size() || a.m_children.size() != b.m_children.size())
        return false;
    for (std::size_t i = 0; i < a.m_params.size(); ++i) {
        const auto& pa = a.m_params[i];
        const auto& pb = b.m_params[i];
        if (pa.key != pb.key || !(pa.value == pb.value) || pa.type != pb.type ||
            pa.attributes != pb.attributes)
            return false;
    }
    for (std::size_t i = 0; i < a.m_children.size(); ++i)
        if (*a.m_children[i] != *b.m_children[i]) return false;
    return true;
}

// --- conversions ---

namespace {

bool parseInt(const std::string& text, std::int64_t& out)
{
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || end != text.c_str() + text.size()) return false;
    out = v;
    return true;
}

bool parseDouble(const std::string& text, double& out)
{
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (errno != 0 || end != text.c_str() + text.size()) return false;
    out = v;
    return true;
}

}  // namespace

bool Properties::convert(const Value& from, bool& to)
{
    switch (from.index()) {
    case 0: to = std::get<bool>(from); return true;
    case 1: to = std::get<std::int64_t>(from) != 0; return true;
    case 2: to = std::get<double>(from) != 0.0; return true;
    case 3: {
        const auto& s = std::get<std::string>(from);
        if (s == "true") {
            to = true;
            return true;
        }
        if (s == "false") {
            to = false;
            return true;
        }
        std::int64_t i = 0;
        if (parseInt(s, i)) {
            to = i != 0;
            return true;
        }
        return false;
    }
    default: return false;
    }
}

bool Properties::convert(const Value& from, std::int64_t& to)
{
    switch (from.index()) {
    case 0: to = std::get<bool>(from) ? 1 : 0; return true;
    case 1: to = std::get<std::int64_t>(from); return true;
    case 2: {
        const double d = std::get<double>(from);
        // Only whole numbers that fit: a stored 2.7 is not silently an index 2.
        if (!std::isfinite(d) || d != std::trunc(d) || d < -9.2233720368547758e18 ||
            d >= 9.2233720368547758e18)
            return false;
        to = static_cast<std::int64_t>(d);
        return true;
    }
    case 3: {
        const auto& s = std::get<std::string>(from);
        if (s == "true") {
            to = 1;
            return true;
        }
        if (s == "false") {
            to = 0;
            return true;
        }
        return parseInt(s, to);
    }
    default: return false;
    }
}

bool Properties::convert(const Value& from, double& to)
{
    switch (from.index()) {
    case 0: to = std::get<bool>(from) ? 1.0 : 0.0; return true;
    case 1: to = static_cast<double>(std::get<std::int64_t>(from)); return true;
    case 2: to = std::get<double>(from); return true;
    case 3: return parseDouble(std::get<std::string>(from), to);
    default: return false;
    }
}

bool Properties::convert(const Value& from, std::string& to)
{
    if (from.index() != 3) return false;
    to = std::get<std::string>(from);
    return true;
}

bool Properties::convert(const Value& from, std::vector<double>& to)
{
    if (from.index() != 4) return false;
    to = std::get<std::vector<double>>(from);
    return true;
}

}  // namespace Velantor
