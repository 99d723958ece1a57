#pragma once
// Properties: the host's configuration record. A block has a name, typed
// parameters (kept in the order they were first set), attributes of its own
// and an ordered list of sub-blocks; several sub-blocks may share a name.
// Copies are deep. Not thread-safe: a Properties belongs to one thread at a
// time.
//
// Values are booleans, integers (64-bit), floating point numbers, texts and
// lists of numbers. param(key, value) converts on reading:
//   - bool, integer and floating point values convert into one another
//     (integers only when the value fits the target type exactly);
//   - a text converts to a number or bool only when the whole text is one
//     ("12", "-3.5", "true"/"false");
//   - nothing but a text reads as a text, nothing but a list as a list.
// A key that is absent, or whose value does not convert, leaves the target
// untouched and returns false.
//
// Each parameter may carry a display type (PropertiesDetail::ParamType; 0
// means "as the value") and a list of attributes (name/value texts such as
// "label", "tooltip", "values", "hidden"). setParamAttributes replaces a
// parameter's list; setParam keeps a parameter's type and attributes.
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

namespace Velantor {

namespace PropertiesDetail {

enum ParamType : int {
    Default = 0,  // shown as its value's kind
    Bool = 1,
    Int = 2,
    Double = 3,
    String = 4,
    Path = 5,       // a file path
    Vector = 6,     // a list of numbers
    Matrix = 7,     // a list of numbers read row by row
    EnumIndex = 8,  // an int indexing the choices of the "values" attribute (", "-separated)
};

struct Attribute {
    Attribute() = default;
    Attribute(std::string attributeName, std::string attributeValue)
        : name(std::move(attributeName)), value(std::move(attributeValue))
    {
    }
    std::string name;
    std::string value;
    friend bool operator==(const Attribute& a, const Attribute& b)
    {
        return a.name == b.name && a.value == b.value;
    }
    friend bool operator!=(const Attribute& a, const Attribute& b) { return !(a == b); }
};

using Value = std::variant<bool, std::int64_t, double, std::string, std::vector<double>>;

}  // namespace PropertiesDetail

class Properties {
public:
    using Attribute = PropertiesDetail::Attribute;
    using Value = PropertiesDetail::Value;

    explicit Properties(std::string name = std::string());
    Properties(const Properties& other);
    Properties& operator=(const Properties& other);
    Properties(Properties&&) noexcept;
    Properties& operator=(Properties&&) noexcept;
    ~Properties();

    const std::string& name() const { return m_name; }
    void setName(const std::string& name) { m_name = name; }

    // Replaces this block's parameters, attributes and sub-blocks by copies of
    // other's; the block keeps its own name.
    void copyFrom(const Properties& other);
    void clear();
    bool empty() const { return m_params.empty() && m_children.empty(); }

    // --- parameters ---
    template <typename T>
    bool param(const std::string& key, T& value) const
    {
        const Value* v = rawParam(key);
        return v != nullptr && convert(*v, value);
    }
    bool hasParam(const std::string& key) const { return rawParam(key) != nullptr; }
    const Value* rawParam(const std::string& key) const;

    void setParam(const std::string& key, bool value) { setRaw(key, Value(value)); }
    void setParam(const std::string& key, const char* value)
    {
        setRaw(key, Value(std::string(value)));
    }
    void setParam(const std::string& key, const std::string& value) { setRaw(key, Value(value)); }
    void setParam(const std::string& key, std::string&& value)
    {
        setRaw(key, Value(std::move(value)));
    }
    void setParam(const std::string& key, const std::vector<double>& value)
    {
        setRaw(key, Value(value));
    }
    template <typename T,
              std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool>, int> = 0>
    void setParam(const std::string& key,
                  T value);  // defined below: refuses unsigned values above INT64_MAX
    template <typename T, std::enable_if_t<std::is_floating_point_v<T>, int> = 0>
    void setParam(const std::string& key, T value)
    {
        setRaw(key, Value(static_cast<double>(value)));
    }

    bool removeParam(const std::string& key);
    std::vector<std::string> paramNames() const;

    void setParamType(const std::string& key, int type);
    // The set type, or the type of the value's kind when none was set
    // (Bool, Int, Double, String or Vector); Default for an unknown key.
    int paramType(const std::string& key) const;

    void setParamAttributes(const std::string& key, const std::vector<Attribute>& attributes);
    std::vector<Attribute> paramAttributes(const std::string& key) const;
    bool paramAttribute(const std::string& key, const std::string& attributeName,
                        std::string& value) const;

    // Attributes of the block itself (for example "hidden" on a sub-block).
    void setAttributes(const std::vector<Attribute>& attributes);
    const std::vector<Attribute>& attributes() const { return m_attributes; }
    bool attribute(const std::string& attributeName, std::string& value) const;

    // --- sub-blocks ---
    // Appends a new, empty sub-block (also when one of that name exists).
    Properties& addSubProperties(const std::string& name);
    // Appends a copy of p (under p's name).
    Properties& addSubProperties(const Properties& p);
    std::vector<Properties*> subProperties();
    std::vector<const Properties*> subProperties() const;
    // The first sub-block of that name, or null; never creates one.
    Properties* subProperties(const std::string& name);
    const Properties* subProperties(const std::string& name) const;
    std::vector<Properties*> subPropertiesAll(const std::string& name);
    std::vector<const Properties*> subPropertiesAll(const std::string& name) const;
    // Removes every sub-block of that name; returns how many went.
    std::size_t removeSubProperties(const std::string& name);

    friend bool operator==(const Properties& a, const Properties& b);
    friend bool operator!=(const Properties& a, const Properties& b) { return !(a == b); }

    // Conversion used by param(); public for views that read values generically.
    static bool convert(const Value& from, bool& to);
    static bool convert(const Value& from, std::int64_t& to);
    static bool convert(const Value& from, double& to);
    static bool convert(const Value& from, std::string& to);
    static bool convert(const Value& from, std::vector<double>& to);
    template <typename T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool> &&
                                               !std::is_same_v<T, std::int64_t>,
                                           int> = 0>
    static bool convert(const Value& from, T& to)
    {
        std::int64_t wide = 0;
        if (!convert(from, wide)) return false;
        if constexpr (std::is_signed_v<T>) {
            if (wide < static_cast<std::int64_t>(std::numeric_limits<T>::min()) ||
                wide > static_cast<std::int64_t>(std::numeric_limits<T>::max()))
                return false;
        } else {
            if (wide < 0 || static_cast<std::uint64_t>(wide) > std::numeric_limits<T>::max())
                return false;
        }
        to = static_cast<T>(wide);
        return true;
    }
    static bool convert(const Value& from, float& to)
    {
        double d = 0;
        if (!convert(from, d)) return false;
        to = static_cast<float>(d);
        return true;
    }

private:
    struct Param {
        std::string key;
        Value value;
        int type = PropertiesDetail::Default;
        std::vector<Attribute> attributes;
    };
    Param* findParam(const std::string& key);
    const Param* findParam(const std::string& key) const;
    Param& paramFor(const std::string& key);
    void setRaw(const std::string& key, Value value);

    std::string m_name;
    std::vector<Param> m_params;
    std::vector<Attribute> m_attributes;
    std::vector<std::unique_ptr<Properties>> m_children;
};

template <typename T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool>, int>>
void Properties::setParam(const std::string& key, T value)
{
    if constexpr (std::is_unsigned_v<T> && sizeof(T) >= sizeof(std::int64_t)) {
        // Too large for the stored integer: keep it exact as a text rather than wrap.
        if (value > static_cast<T>(std::numeric_limits<std::int64_t>::max())) {
            setRaw(key, Value(std::to_string(value)));
            return;
        }
    }
    setRaw(key, Value(static_cast<std::int64_t>(value)));
}

}  // namespace Velantor
