// _save_artifacts: the scorecard as pickle and CSV, and the pickled model.
//
// Each file is written whole beside its final path and then moved into place,
// so a write that fails part-way leaves an earlier file of that name intact.
#include "output/output.hpp"

#include "module/core/constants.hpp"
#include "module/core/runtime.hpp"

namespace qv {

namespace {

// Runs `cleanup` while an exception is pending; the pending exception is the one
// the caller sees, whatever the cleanup raises.
template <class Cleanup>
void keeping_pending_error(Cleanup cleanup) {
    PyObject* pending = PyErr_GetRaisedException();
    try {
        cleanup();
    } catch (const Failure&) {
        PyErr_Clear();
    }
    PyErr_SetRaisedException(pending);
}

// `<dir>/.<name>.<pid>.tmp`: same directory, so the final move is a rename
// within one file system; the pid keeps two processes apart.
Object temporary_beside(Handle path) {
    auto os_path = global(k.os).attr(k.path);
    auto pid = format(global(k.os).call_method(k.getpid), k.empty_str);
    auto name = join({k.dot, os_path.call_method(k.basename, {path}), k.dot, pid, k.tmp_suffix});
    return os_path.call_method(k.join, {os_path.call_method(k.dirname, {path}), name});
}

// `write` fills a temporary file, which then replaces `path`; on failure the
// temporary file goes and the error propagates unchanged.
template <class Write>
void write_replacing(Handle path, Write write) {
    auto tmp_path = temporary_beside(path);
    try {
        write(Handle(tmp_path));
        global(k.os).call_method(k.replace, {tmp_path, path});
    } catch (const Failure&) {
        keeping_pending_error([&] { global(k.os).call_method(k.remove, {tmp_path}); });
        throw;
    }
}

// `with open(path, "wb") as f: pickle.dump(model_instance, f)`.
void dump_model(Handle model_instance, Handle path) {
    auto file = Handle(rt.open).call({path, k.mode_wb});
    auto file_exit = file.attr(k.dunder_exit);
    auto f = file.call_method(k.dunder_enter);
    try {
        global(k.pickle).call_method(k.dump, {model_instance, f});
    } catch (const Failure&) {
        auto value = Object::steal(PyErr_GetRaisedException());
        auto type = Object::steal(PyObject_Type(value.get()));
        PyObject* tb = PyException_GetTraceback(value.get());
        auto traceback = tb != nullptr ? Object::steal(tb) : Object::borrow(k.None);
        if (file_exit.call({type, value, traceback}).truth()) return;
        PyErr_SetRaisedException(value.release());
        throw;
    }
    file_exit.call({k.None, k.None, k.None});
}

}  // namespace

Object save_artifacts(const Args& a) {
    Handle credit_scores_df = a[0], model_instance = a[1], scorecard_directory = a[2], model_directory = a[3],
           model_name = a[4];

    global(k.os).call_method(k.makedirs, {scorecard_directory}, {{k.exist_ok, k.True}});
    auto scorecard_pkl = global(k.os).attr(k.path).call_method(k.join, {scorecard_directory, k.scorecard_pkl_name});
    auto scorecard_csv = global(k.os).attr(k.path).call_method(k.join, {scorecard_directory, k.scorecard_csv_name});
    write_replacing(scorecard_pkl, [&](Handle tmp) { credit_scores_df.call_method(k.to_pickle, {tmp}); });
    write_replacing(scorecard_csv,
                    [&](Handle tmp) { credit_scores_df.call_method(k.to_csv, {tmp}, {{k.index, k.False}}); });
    Handle(rt.print).call({join({k.msg_scorecard_saved, scorecard_directory})});

    global(k.os).call_method(k.makedirs, {model_directory}, {{k.exist_ok, k.True}});
    auto model_path = global(k.os).attr(k.path).call_method(k.join, {model_directory, join({model_name, k.sav_suffix})});
    write_replacing(model_path, [&](Handle tmp) { dump_model(model_instance, tmp); });
    Handle(rt.print).call({join({k.msg_model_saved, model_directory})});
    return Object::borrow(k.None);
}

}  // namespace qv
