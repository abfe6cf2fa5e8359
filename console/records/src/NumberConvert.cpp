// Both conversions feed the digits in fixed-size groups into a number kept as limbs of the
// target base, least significant first: multiply by the group's base and add the group.
// Limbs of 10^5 (decimal) and 2^16 (hexadecimal) keep every step within 32 bits.
#include "pelmar/NumberConvert.h"

#include <cmath>
#include <cstdint>
#include <vector>

namespace pelmar {
namespace {

int HexDigit(QChar c) {
    const char16_t u = c.unicode();
    if (u >= u'0' && u <= u'9') return u - u'0';
    if (u >= u'A' && u <= u'F') return u - u'A' + 10;
    if (u >= u'a' && u <= u'f') return u - u'a' + 10;
    return -1;
}

int DecDigit(QChar c) {
    const char16_t u = c.unicode();
    return (u >= u'0' && u <= u'9') ? u - u'0' : -1;
}

// Shared scheme: groups of groupLen digits of inBase (each digit read by digitOf), into
// limbs of limbBase. Returns false on a bad digit.
bool ToLimbs(const QString& value, int groupLen, uint32_t inBase, int (*digitOf)(QChar),
             uint32_t limbBase, double logRatio, std::vector<uint32_t>& limbs) {
    const qsizetype pad = (groupLen - value.size() % groupLen) % groupLen;
    const qsizetype total = value.size() + pad;
    uint32_t groupBase = 1;
    for (int i = 0; i < groupLen; ++i)
        groupBase *= inBase;
    limbs.clear();
    limbs.reserve(static_cast<size_t>(static_cast<double>(total) * logRatio) + 1);
    for (qsizetype start = 0; start < total; start += groupLen) {
        uint32_t g = 0;
        for (int k = 0; k < groupLen; ++k) {
            const qsizetype at = start + k - pad;
            int d = 0;
            if (at >= 0) {
                d = digitOf(value[at]);
                if (d < 0) return false;
            }
            g = g * inBase + static_cast<uint32_t>(d);
        }
        uint32_t carry = g;
        for (uint32_t& limb : limbs) {
            const uint32_t v = limb * groupBase + carry;
            carry = v / limbBase;
            limb = v - carry * limbBase;
        }
        while (carry > 0) {
            limbs.push_back(carry % limbBase);
            carry /= limbBase;
        }
    }
    return true;
}

} // namespace

QString HexToDec(const QString& szValue) {
    if (szValue.isEmpty()) return QString();
    std::vector<uint32_t> limbs;
    if (!ToLimbs(szValue, 3, 16, HexDigit, 100000, std::log(16.0) / std::log(10.0) / 5.0, limbs))
        return QString();
    if (limbs.empty()) return QStringLiteral("0");
    QString out = QString::number(limbs.back());
    out.reserve(static_cast<qsizetype>(limbs.size()) * 5);
    for (size_t i = limbs.size() - 1; i-- > 0;)
        out += QStringLiteral("%1").arg(limbs[i], 5, 10, QChar(u'0'));
    return out;
}

QString DecToHex(const QString& szValue) {
    if (szValue.isEmpty()) return QString();
    std::vector<uint32_t> limbs;
    if (!ToLimbs(szValue, 4, 10, DecDigit, 65536, std::log(10.0) / std::log(16.0) / 4.0, limbs))
        return QString();
    if (limbs.empty()) return QStringLiteral("0");
    QString out = QString::number(limbs.back(), 16).toUpper();
    out.reserve(static_cast<qsizetype>(limbs.size()) * 4);
    for (size_t i = limbs.size() - 1; i-- > 0;)
        out += QStringLiteral("%1").arg(limbs[i], 4, 16, QChar(u'0')).toUpper();
    return out;
}

} // namespace pelmar
