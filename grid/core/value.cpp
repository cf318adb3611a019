#include "grid/core/value.h"

#include <QCollator>
#include <QLocale>
#include <QString>

#include <cmath>
#include <cstdio>
#include <optional>

namespace grid {

int CompareText(std::string_view a, std::string_view b, bool case_insensitive) {
    if (a == b)
        return 0;
    // Made once per thread and locale: a collator is dear to make, and a sort compares often.
    struct Collators {
        QLocale locale;
        QCollator exact;
        QCollator folded;
    };
    thread_local std::optional<Collators> collators;
    QLocale locale = QLocale().collation();
    if (locale.language() == QLocale::C)
        locale = QLocale(QLocale::English, QLocale::UnitedStates);
    if (!collators || collators->locale != locale) {
        collators.emplace(Collators{locale, QCollator(locale), QCollator(locale)});
        collators->folded.setCaseSensitivity(Qt::CaseInsensitive);
    }
    const QCollator& collator = case_insensitive ? collators->folded : collators->exact;
    const int c = collator.compare(QString::fromUtf8(a.data(), static_cast<qsizetype>(a.size())),
                                   QString::fromUtf8(b.data(), static_cast<qsizetype>(b.size())));
    if (c != 0 || case_insensitive)
        return (c > 0) - (c < 0);
    const int bytes = a.compare(b);
    return (bytes > 0) - (bytes < 0);
}

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

namespace {
QString Composed(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()))
        .normalized(QString::NormalizationForm_C);
}
}  // namespace

bool StartsWithText(std::string_view text, std::string_view prefix) {
    // Texts from other systems often keep accents as separate marks ("E" and U+0301): both
    // sides are composed first, so that the letter typed finds them.
    return Composed(text).startsWith(Composed(prefix), Qt::CaseInsensitive);
}

std::string MatchedTextPrefix(std::string_view text, std::string_view prefix) {
    if (prefix.empty() || !StartsWithText(text, prefix))
        return {};
    const qsizetype wanted = Composed(prefix).size();
    const QString q = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    qsizetype end = 0;
    while (end < q.size()) {
        end += q.at(end).isHighSurrogate() && end + 1 < q.size() ? 2 : 1;
        if (q.left(end).normalized(QString::NormalizationForm_C).size() >= wanted)
            break;
    }
    // The accents of the last matched letter belong to it.
    while (end < q.size() && q.at(end).isMark())
        ++end;
    return q.left(end).toStdString();
}

bool Value::operator==(const Value& other) const {
    // Texts are equal only byte for byte, which needs no collation.
    if (IsString() && other.IsString())
        return std::get<std::string>(v_) == std::get<std::string>(other.v_);
    return Compare(*this, other, false) == 0;
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
        default:
            return CompareText(std::get<std::string>(a.v_), std::get<std::string>(b.v_),
                               case_insensitive);
    }
}

}  // namespace grid
