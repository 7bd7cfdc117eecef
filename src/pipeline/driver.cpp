#include "pipeline/pipeline.hpp"

#include "module/core/unfinished.hpp"

namespace qv {

Object create_quillvane(const Args&) { not_implemented(); }

}  // namespace qv
