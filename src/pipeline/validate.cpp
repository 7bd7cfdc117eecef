#include "pipeline/pipeline.hpp"

#include "module/core/unfinished.hpp"

namespace qv {

Object validate_inputs(const Args&) { not_implemented(); }

}  // namespace qv
