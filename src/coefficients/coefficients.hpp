// Bodies of the SHAP coefficient extraction and the WoE merge.
#pragma once

#include "module/core/function.hpp"

namespace qv {

Object extract_shap_coefficients(const Args& a);
Object merge_woe_data(const Args& a);

}  // namespace qv
