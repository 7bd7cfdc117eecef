// count_zeros_before_non_zero: the zeros that follow the decimal point of a
// number's shortest text before its first other digit.
#include "pipeline/pipeline.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <string>
#include <string_view>

namespace qv {

namespace {

// The count read from the interpreter's shortest text of `number` (its repr),
// taken from the same shortest digits without building the text: positional
// from 1e-4 to below 1e16, exponent notation outside.
long long count_in_shortest_text(double number) {
    if (number == 0.0 || !std::isfinite(number)) return 0;  // "0.0", "nan", "inf"
    // Shortest round-trip digits, as the interpreter's repr chooses them: d.ddde±XX.
    std::array<char, 32> buffer{};
    auto [end, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), std::fabs(number),
                                   std::chars_format::scientific);
    std::string_view text(buffer.data(), static_cast<std::size_t>(end - buffer.data()));
    const auto e = text.find('e');
    std::string digits{text.substr(0, e)};
    std::erase(digits, '.');
    int exponent = 0;
    auto exponent_text = text.substr(e + 1);
    if (exponent_text.front() == '+') exponent_text.remove_prefix(1);
    std::from_chars(exponent_text.data(), exponent_text.data() + exponent_text.size(), exponent);

    // Below 1e-4 the text is d.ddde-XX; counting its mantissa would say 0 for
    // 1e-05. The positional form has exponent - 1 zeros after the point.
    if (exponent < -4) return -exponent - 1;
    // 0.000ddd: the zeros between the point and the first digit.
    if (exponent < 0) return -exponent - 1;
    // The digits after the point: ddd.fff, or the mantissa's d.fffe+XX.
    const std::size_t integer_digits = exponent < 16 ? static_cast<std::size_t>(exponent) + 1 : 1;
    if (digits.size() <= integer_digits) return 0;  // "100.0", "1e+16": no digit but zero after the point
    // The shortest digits never end in 0, so a non-zero digit follows the zeros.
    const auto fraction = std::string_view(digits).substr(integer_digits);
    return static_cast<long long>(fraction.find_first_not_of('0'));
}

}  // namespace

Object count_zeros_before_non_zero(const Args& a) { return new_int(count_in_shortest_text(a.number(0))); }

}  // namespace qv
