#include "output/output.hpp"

#include "module/core/unfinished.hpp"

namespace qv {

Object generate_plots(const Args&) { not_implemented(); }

}  // namespace qv
