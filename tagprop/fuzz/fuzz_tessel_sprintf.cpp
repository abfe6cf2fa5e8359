// The formatter on arbitrary text. The first byte picks the kinds of up to four parameters
// (two bits each: text, integer, double, numeric text); the rest is the text.
#include <tessel/clsTessel.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2 || size > 4096) return 0;
    const uint8_t kinds = data[0];
    const uint8_t pick = data[1];
    const std::string text(reinterpret_cast<const char*>(data) + 2, size - 2);
    static const double kDoubles[] = {3.14159,
                                      -0.5,
                                      1e308,
                                      -1e-300,
                                      4294967295.0,
                                      2147483648.5,
                                      std::numeric_limits<double>::quiet_NaN(),
                                      std::numeric_limits<double>::infinity()};
    std::vector<tessel::Variant> params;
    for (int i = 0; i < 4; ++i) {
        switch ((kinds >> (2 * i)) & 3) {
        case 0:
            params.emplace_back(std::string("t\\%s%d"));
            break;
        case 1:
            params.emplace_back(static_cast<long long>(pick) * (i % 2 ? -1 : 1) * 16777259LL);
            break;
        case 2:
            params.emplace_back(kDoubles[(pick + i) % 8]);
            break;
        default:
            params.emplace_back(std::string(" 12.5e3 "));
            break;
        }
    }
    clsTessel t;
    const std::string out = t.sprintf(text, params);
    // Every directive adds at most a bounded field (a width of 255 digits and 255 decimals,
    // or a parameter of at most a few hundred characters).
    if (out.size() > text.size() * 700 + 1024) std::abort();
    return 0;
}
