// count_zeros_before_non_zero: the zeros that follow the decimal point of a
// number's shortest text before its first other digit.
#include "pipeline/pipeline.hpp"

#include <charconv>
#include <string_view>

namespace qv {

namespace {

long long zeros_in(std::string_view number_str) {
    // Below 1e-4 the shortest text is d.ddde-XX; counting its mantissa would say
    // 0 for 1e-05. The positional form has exponent - 1 zeros after the point.
    if (auto e = number_str.find("e-"); e != std::string_view::npos) {
        long long exponent = 0;
        auto digits = number_str.substr(e + 2);
        std::from_chars(digits.data(), digits.data() + digits.size(), exponent);
        return exponent - 1;
    }
    auto dot = number_str.find('.');
    if (dot == std::string_view::npos) return 0;
    auto decimal_part = number_str.substr(dot + 1);
    decimal_part = decimal_part.substr(0, decimal_part.find('.'));
    long long zeros_count = 0;
    for (char c : decimal_part) {
        if (c != '0') return zeros_count;
        ++zeros_count;
    }
    // Only zeros after the point (1.0, 100.0): nothing to count.
    return 0;
}

}  // namespace

Object count_zeros_before_non_zero(const Args& a) {
    // The interpreter's own float text (repr), without making a float object.
    char* text = PyOS_double_to_string(a.number(0), 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (text == nullptr) fail();
    long long zeros = zeros_in(text);
    PyMem_Free(text);
    return new_int(zeros);
}

}  // namespace qv
