// Bodies of artifact saving and the score plots.
#pragma once

#include "module/core/function.hpp"

namespace qv {

Object save_artifacts(const Args& a);
Object generate_plots(const Args& a);

}  // namespace qv
