// Bodies of the scorecard pipeline: the driver, input validation and the zero counter.
#pragma once

#include "module/core/function.hpp"

namespace qv {

Object create_quillvane(const Args& a);
Object validate_inputs(const Args& a);
Object count_zeros_before_non_zero(const Args& a);

}  // namespace qv
