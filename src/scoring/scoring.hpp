// Body of the credit score calculation.
#pragma once

#include "module/core/function.hpp"

namespace qv {

Object calculate_credit_scores(const Args& a);

}  // namespace qv
