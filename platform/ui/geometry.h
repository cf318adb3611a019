#pragma once

// Points and rectangles in client pixels. A rectangle's right and bottom are exclusive,
// as the grid's layout arithmetic assumes everywhere; convert only at the painter.

#include <algorithm>
#include <cstdint>
#include <limits>

namespace ui {

struct Point {
    int x = 0;
    int y = 0;
    constexpr bool operator==(const Point&) const = default;
};

struct Rect {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;

    constexpr int Width() const { return right - left; }
    constexpr int Height() const { return bottom - top; }
    // True when the rectangle covers no pixel.
    constexpr bool IsEmpty() const { return right <= left || bottom <= top; }
    constexpr bool Contains(Point p) const {
        return p.x >= left && p.x < right && p.y >= top && p.y < bottom;
    }
    constexpr Rect Inflated(int dx, int dy) const {
        return {left - dx, top - dy, right + dx, bottom + dy};
    }
    constexpr Rect Offset(int dx, int dy) const {
        return {left + dx, top + dy, right + dx, bottom + dy};
    }
    constexpr bool operator==(const Rect&) const = default;
};

constexpr Rect Bounds(int left, int top, int width, int height) {
    return {left, top, left + width, top + height};
}

// The common part, or the all-zero rectangle when there is none.
constexpr Rect Intersect(const Rect& a, const Rect& b) {
    Rect r{std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right),
           std::min(a.bottom, b.bottom)};
    return r.IsEmpty() ? Rect{} : r;
}

// The smallest rectangle holding both; an empty operand does not count.
constexpr Rect Union(const Rect& a, const Rect& b) {
    if (a.IsEmpty())
        return b;
    if (b.IsEmpty())
        return a;
    return {std::min(a.left, b.left), std::min(a.top, b.top), std::max(a.right, b.right),
            std::max(a.bottom, b.bottom)};
}

// number * numerator / denominator with a 64-bit product, rounded half away from zero;
// -1 for a zero denominator or a result that does not fit 32 bits (the Windows rule).
constexpr int MulDiv(int number, int numerator, int denominator) {
    if (denominator == 0)
        return -1;
    std::int64_t product = static_cast<std::int64_t>(number) * numerator;
    bool negative = (product < 0) != (denominator < 0);
    std::uint64_t p =
        product < 0 ? static_cast<std::uint64_t>(-product) : static_cast<std::uint64_t>(product);
    std::uint64_t d = denominator < 0
                          ? static_cast<std::uint64_t>(-static_cast<std::int64_t>(denominator))
                          : static_cast<std::uint64_t>(denominator);
    std::uint64_t q = (p + d / 2) / d;
    if (q > static_cast<std::uint64_t>(std::numeric_limits<int>::max()))
        return -1;
    int result = static_cast<int>(q);
    return negative ? -result : result;
}

}  // namespace ui
