#pragma once

#include <bitset>
#include <cstddef>
#include <initializer_list>
#include <type_traits>

namespace db {

// A set over an enumeration whose members count from 0, standing in for the class library's
// `set of` types where the bit values are not stored anywhere (stored option words are plain
// unsigned integers instead).
template <class Enum, std::size_t Size = 32>
class SetOf {
    static_assert(std::is_enum_v<Enum>);

  public:
    constexpr SetOf() = default;
    SetOf(std::initializer_list<Enum> members) {
        for (Enum member : members) {
            Include(member);
        }
    }

    bool Contains(Enum member) const { return bits_.test(Position(member)); }
    SetOf& Include(Enum member) {
        bits_.set(Position(member));
        return *this;
    }
    SetOf& Exclude(Enum member) {
        bits_.reset(Position(member));
        return *this;
    }
    bool Empty() const { return bits_.none(); }
    void Clear() { bits_.reset(); }

    SetOf operator+(const SetOf& other) const { return SetOf(bits_ | other.bits_); }
    SetOf operator-(const SetOf& other) const { return SetOf(bits_ & ~other.bits_); }
    SetOf operator*(const SetOf& other) const { return SetOf(bits_ & other.bits_); }
    SetOf& operator+=(const SetOf& other) {
        bits_ |= other.bits_;
        return *this;
    }
    SetOf& operator-=(const SetOf& other) {
        bits_ &= ~other.bits_;
        return *this;
    }
    friend bool operator==(const SetOf&, const SetOf&) = default;

  private:
    explicit SetOf(std::bitset<Size> bits) : bits_(bits) {}
    static std::size_t Position(Enum member) { return static_cast<std::size_t>(member); }

    std::bitset<Size> bits_;
};

}  // namespace db
