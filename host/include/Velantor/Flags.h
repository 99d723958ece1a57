#pragma once
// A type-safe set of bits over an enumeration, as used for change reports
// (Flags<InstrumentModification>) and algorithm attributes. The set is a plain
// value: copy it, combine it with | and test single bits with testFlag or &.
#include <type_traits>

namespace Velantor {

template <typename Enum>
class Flags {
    static_assert(std::is_enum_v<Enum>, "Flags needs an enumeration");

public:
    using Int = std::make_unsigned_t<std::underlying_type_t<Enum>>;

    constexpr Flags() noexcept = default;
    constexpr Flags(Enum flag) noexcept
        : m_value(static_cast<Int>(flag)) {}  // NOLINT: implicit on purpose
    // From a raw bit pattern, e.g. one stored in a file.
    static constexpr Flags fromInt(Int value) noexcept
    {
        Flags f;
        f.m_value = value;
        return f;
    }

    constexpr Int toInt() const noexcept { return m_value; }
    constexpr bool testFlag(Enum flag) const noexcept
    {
        const Int bits = static_cast<Int>(flag);
        return bits != 0 ? (m_value & bits) == bits : m_value == 0;
    }
    constexpr bool empty() const noexcept { return m_value == 0; }
    constexpr explicit operator bool() const noexcept { return m_value != 0; }

    constexpr Flags& operator|=(Flags other) noexcept
    {
        m_value |= other.m_value;
        return *this;
    }
    constexpr Flags& operator&=(Flags other) noexcept
    {
        m_value &= other.m_value;
        return *this;
    }
    constexpr Flags& setFlag(Enum flag, bool on = true) noexcept
    {
        if (on)
            m_value |= static_cast<Int>(flag);
        else
            m_value &= ~static_cast<Int>(flag);
        return *this;
    }

    friend constexpr Flags operator|(Flags a, Flags b) noexcept
    {
        return fromInt(a.m_value | b.m_value);
    }
    friend constexpr Flags operator&(Flags a, Flags b) noexcept
    {
        return fromInt(a.m_value & b.m_value);
    }
    friend constexpr Flags operator^(Flags a, Flags b) noexcept
    {
        return fromInt(a.m_value ^ b.m_value);
    }
    friend constexpr bool operator==(Flags a, Flags b) noexcept { return a.m_value == b.m_value; }
    friend constexpr bool operator!=(Flags a, Flags b) noexcept { return a.m_value != b.m_value; }

private:
    Int m_value = 0;
};

}  // namespace Velantor

// Lets `Enum::A | Enum::B` produce a Flags<Enum> for an enumeration that is
// meant to be combined. Use at namespace scope of the enumeration.
#define VELANTOR_DECLARE_FLAG_OPERATORS(Enum)                            \
    constexpr ::Velantor::Flags<Enum> operator|(Enum a, Enum b) noexcept \
    {                                                                    \
        return ::Velantor::Flags<Enum>(a) | ::Velantor::Flags<Enum>(b);  \
    }
