#include "coefficients/coefficients.hpp"

#include "module/core/unfinished.hpp"

namespace qv {

Object merge_woe_data(const Args&) { not_implemented(); }

}  // namespace qv
