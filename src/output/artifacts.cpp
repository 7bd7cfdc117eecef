#include "output/output.hpp"

#include "module/core/unfinished.hpp"

namespace qv {

Object save_artifacts(const Args&) { not_implemented(); }

}  // namespace qv
