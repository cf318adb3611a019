#include "grid/core/value.h"

#include <cmath>
#include <cstdio>

namespace grid {

std::string Value::AsString() const {
    if (auto* s = std::get_if<std::string>(&v_))
        return *s;
    if (auto* b = std::get_if<bool>(&v_))
        return *b ? "True" : "False";
    if (auto* i = std::get_if<std::int64_t>(&v_))
        return std::to_string(*i);
    if (auto* d = std::get_if<double>(&v_)) {
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "%.15g", *d);
        return buffer;
    }
    return {};
}

double Value::AsDouble() const {
    if (auto* i = std::get_if<std::int64_t>(&v_))
        return static_cast<double>(*i);
    if (auto* d = std::get_if<double>(&v_))
        return *d;
    if (auto* b = std::get_if<bool>(&v_))
        return *b ? 1.0 : 0.0;
    return 0.0;
}

int Value::Rank() const {
    if (IsNull())
        return 0;
    if (IsBool())
        return 1;
    if (IsNumber())
        return 2;
    return 3;
}

int Value::Compare(const Value& a, const Value& b, bool case_insensitive) {
    int ra = a.Rank();
    int rb = b.Rank();
    if (ra != rb)
        return ra < rb ? -1 : 1;
    switch (ra) {
        case 0:
            return 0;
        case 1:
            return static_cast<int>(std::get<bool>(a.v_)) - static_cast<int>(std::get<bool>(b.v_));
        case 2: {
            auto* ia = std::get_if<std::int64_t>(&a.v_);
            auto* ib = std::get_if<std::int64_t>(&b.v_);
            if (ia && ib)
                return *ia < *ib ? -1 : (*ia > *ib ? 1 : 0);
            double da = a.AsDouble();
            double db = b.AsDouble();
            // NaN sorts after every number so that the order stays total.
            bool na = std::isnan(da), nb = std::isnan(db);
            if (na || nb)
                return na == nb ? 0 : (na ? 1 : -1);
            return da < db ? -1 : (da > db ? 1 : 0);
        }
        default: {
            const std::string& sa = std::get<std::string>(a.v_);
            const std::string& sb = std::get<std::string>(b.v_);
            std::size_t n = std::min(sa.size(), sb.size());
            for (std::size_t i = 0; i < n; ++i) {
                unsigned char ca = static_cast<unsigned char>(sa[i]);
                unsigned char cb = static_cast<unsigned char>(sb[i]);
                if (case_insensitive) {
                    if (ca >= 'A' && ca <= 'Z')
                        ca = static_cast<unsigned char>(ca + 32);
                    if (cb >= 'A' && cb <= 'Z')
                        cb = static_cast<unsigned char>(cb + 32);
                }
                if (ca != cb)
                    return ca < cb ? -1 : 1;
            }
            return sa.size() < sb.size() ? -1 : (sa.size() > sb.size() ? 1 : 0);
        }
    }
}

}  // namespace grid
