#include "coefficients/coefficients.hpp"

#include "module/core/unfinished.hpp"

namespace qv {

Object extract_shap_coefficients(const Args&) { not_implemented(); }

}  // namespace qv
