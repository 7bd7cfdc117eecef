// The function type of the module and its argument binding. A `Row` describes
// one function completely; the function object, its annotations, its code object
// and the binding of its arguments are all derived from it.
#pragma once

#include "module/core/object.hpp"

#include <array>
#include <cstddef>
#include <vector>

namespace qv {

// What binding does to a parameter before the body runs.
enum class Check {
    any,         // accepted as it is
    exact_str,   // exactly `str`
    exact_int,   // exactly `int`
    exact_list,  // exactly `list`
    to_double,   // converted by the interpreter's float conversion
};

struct Param {
    const char* name;
    const char* annotation = nullptr;  // none for unannotated parameters
    Check check = Check::any;
};

inline constexpr std::size_t max_params = 8;

// The bound arguments, as the body receives them.
class Args {
public:
    Handle operator[](std::size_t i) const { return values_[i]; }
    // The double of a `to_double` parameter.
    double number(std::size_t i) const { return numbers_[i]; }
    // The extra keywords, for a function that takes them.
    Handle kwargs() const { return kwargs_; }

private:
    friend class Binder;
    std::array<PyObject*, max_params> values_{};
    std::array<double, max_params> numbers_{};
    Object kwargs_;
};

using Body = Object (*)(const Args&);

// A function's name, with the line of the table row that gives it: the line
// that the code object and binding errors carry.
struct RowName {
    RowName(const char* name, Where w = Where::current()) : text(name), where(w) {}
    const char* text;
    Where where;
};

struct Row {
    RowName name;
    std::vector<Param> params;
    bool takes_kwargs;
    const char* returns;
    const char* doc;
    Body body;
};

// Reads the code flags of `inspect`, holds `types.MethodType` and creates the
// function type; once per process.
void prepare_function_type(Where w = Where::current());
// Creates the code objects of the rows; once per process.
void prepare_code(const std::vector<Row>& rows, Where w = Where::current());
// A new function object for `row`, with its attributes.
Object new_function(const Row& row, Where w = Where::current());

}  // namespace qv
