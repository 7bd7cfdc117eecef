// _validate_inputs: the three checks that must hold before any table is touched.
#include "pipeline/pipeline.hpp"

#include "module/core/constants.hpp"
#include "module/core/runtime.hpp"

namespace qv {

Object validate_inputs(const Args& a) {
    Handle model_instance = a[0], training_df = a[1], BINS_DIRECTORY = a[3], target_var = a[4];

    // Plain existence: a file in place of the directory passes here and fails later.
    if (!global(k.os).attr(k.path).call_method(k.exists, {BINS_DIRECTORY}).truth()) {
        raise(Handle(rt.ValueError).call({Handle(k.msg_missing_directory) + BINS_DIRECTORY}));
    }
    if (!training_df.attr(k.columns).contains(target_var)) {
        raise(Handle(rt.ValueError).call({join({k.msg_target_head, target_var, k.msg_target_tail})}));
    }
    // Identity, not truth: a falsy model (0, []) is still a model.
    if (model_instance.is(k.None)) raise(Handle(rt.ValueError).call({k.msg_model_none}));
    return Object::borrow(k.None);
}

}  // namespace qv
