#include "scoring/scoring.hpp"

#include "module/core/unfinished.hpp"

namespace qv {

Object calculate_credit_scores(const Args&) { not_implemented(); }

}  // namespace qv
