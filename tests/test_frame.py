"""The module frame: import, namespace, function objects, binding and tracebacks."""

import builtins
import importlib
import inspect
import pickle
import subprocess
import sys
import textwrap
import traceback

import pytest

from tessaly import quillvane

FUNCTIONS = [
    "count_zeros_before_non_zero",
    "_validate_inputs",
    "_extract_shap_coefficients",
    "_merge_woe_data",
    "_calculate_credit_scores",
    "_save_artifacts",
    "_generate_plots",
    "createQuillvane",
]

SUBCLASS_NOTE = "Subclasses of built-in types are rejected: pass an exact str, int or list."


def entries(exc):
    return [(f.filename, f.name) for f in traceback.extract_tb(exc.__traceback__)]


def run_python(code):
    """Runs code in a fresh interpreter, away from this process's imports."""
    return subprocess.run(
        [sys.executable, "-I", "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=300
    )


def test_namespace_after_import():
    import os
    import typing
    import warnings

    import numpy
    import pandas
    import plotly.graph_objects
    import plotly.subplots
    import shap

    ns = vars(quillvane)
    assert ns["pd"] is pandas and ns["np"] is numpy and ns["shap"] is shap
    assert ns["os"] is os and ns["warnings"] is warnings and ns["pickle"] is pickle
    assert ns["go"] is plotly.graph_objects
    assert ns["make_subplots"] is plotly.subplots.make_subplots
    for name in ["Optional", "Dict", "Any", "List", "Tuple"]:
        assert ns[name] is getattr(typing, name)
    assert ns["__builtins__"] is builtins
    assert ns["__test__"] == {}
    assert ns["__package__"] == "tessaly"
    assert ns["__file__"].endswith("quillvane.abi3.so")
    assert quillvane.__doc__ is None
    assert "__path__" not in ns
    assert [n for n in ns if n in FUNCTIONS] == FUNCTIONS


@pytest.mark.parametrize(
    "name, annotations, doc_start",
    [
        (
            "count_zeros_before_non_zero",
            {"number": "float", "return": "int"},
            "\n    Calculate the number of zeros before a non-zero digit in the decimal part.\n",
        ),
        (
            "_validate_inputs",
            {
                "training_df": "pd.DataFrame",
                "X_test": "pd.DataFrame",
                "BINS_DIRECTORY": "str",
                "target_var": "str",
                "return": "None",
            },
            "Validate input parameters.",
        ),
        (
            "_extract_shap_coefficients",
            {"X_test": "pd.DataFrame", "technique": "str", "return": "Tuple[pd.DataFrame, float]"},
            "\n    Extract SHAP coefficients from the model.\n    \n    Returns:\n"
            "        Tuple of (coefficients_df, base_value)\n    ",
        ),
        (
            "_merge_woe_data",
            {
                "LIST_BIN_VARS": "List[str]",
                "target_var": "str",
                "shap_coefficients_df": "pd.DataFrame",
                "input_ref_df": "pd.DataFrame",
                "BINS_DIRECTORY": "str",
                "return": "pd.DataFrame",
            },
            "Merge Weight of Evidence data with SHAP coefficients.",
        ),
        (
            "_calculate_credit_scores",
            {
                "final_coefficients_df": "pd.DataFrame",
                "LIST_BIN_VARS": "List[str]",
                "shap_base_value": "float",
                "pdo": "int",
                "target_credit_score": "int",
                "target_odds": "int",
                "assume_higher_prob_bad_rate": "int",
                "return": "pd.DataFrame",
            },
            "Calculate credit scores based on SHAP values and WoE.",
        ),
        (
            "_save_artifacts",
            {
                "credit_scores_df": "pd.DataFrame",
                "scorecard_directory": "str",
                "model_directory": "str",
                "model_name": "str",
                "return": "None",
            },
            "Save scorecard and model to disk.",
        ),
        (
            "_generate_plots",
            {
                "credit_scores_df": "pd.DataFrame",
                "LIST_BIN_VARS": "List[str]",
                "target_var": "str",
                "plots_directory": "str",
                "show_plots": "str",
                "return": "None",
            },
            "Generate credit score visualization plots.",
        ),
        (
            "createQuillvane",
            {
                "training_df": "pd.DataFrame",
                "X_test": "pd.DataFrame",
                "input_ref_df": "pd.DataFrame",
                "BINS_DIRECTORY": "str",
                "return": "pd.DataFrame",
            },
            "\n    Create a credit scorecard using SHAP values.\n    \n    Args:\n"
            "        model: Trained model (XGBoost, CatBoost, RandomForest, etc.)\n",
        ),
    ],
)
def test_function_attributes(name, annotations, doc_start):
    f = getattr(quillvane, name)
    assert (f.__name__, f.__qualname__, f.__module__) == (name, name, "tessaly.quillvane")
    assert list(f.__annotations__.items()) == list(annotations.items())
    assert f.__doc__.startswith(doc_start)
    code = f.__code__
    assert code.co_name == name and code.co_filename == "tessaly/quillvane.cpp"
    params = list(inspect.signature(f).parameters.values())
    assert [p.name for p in params if p.kind is p.POSITIONAL_OR_KEYWORD] == list(code.co_varnames[: code.co_argcount])
    assert all(p.default is p.empty for p in params)
    assert (params[-1].kind is inspect.Parameter.VAR_KEYWORD) == (name == "createQuillvane")


def test_long_docstrings_exactly():
    assert quillvane.count_zeros_before_non_zero.__doc__ == (
        "\n    Calculate the number of zeros before a non-zero digit in the decimal part.\n    \n    Args:\n"
        "        number: Float number to analyze\n        \n    Returns:\n"
        "        Count of leading zeros after decimal point\n    "
    )
    assert quillvane.createQuillvane.__doc__.endswith(
        "        BINS_DIRECTORY: Directory containing binning pickle files\n        **kwargs: Additional parameters\n"
        "        \n    Returns:\n        DataFrame containing the credit scorecard\n    "
    )


def test_function_objects_behave_like_functions():
    f = quillvane.createQuillvane
    assert pickle.loads(pickle.dumps(f)) is f
    assert repr(f).startswith("<function createQuillvane at 0x")
    with pytest.raises(TypeError):
        type(f)()
    with pytest.raises(TypeError):
        type(f).extra = 1

    class Holder:
        count = quillvane.count_zeros_before_non_zero

    # Bound as a method: the instance takes the one parameter's place.
    with pytest.raises(TypeError, match=r"must be real number, not Holder"):
        Holder().count()


@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda: quillvane._validate_inputs(1, 2, 3),
            "_validate_inputs() takes exactly 5 positional arguments (3 given)",
        ),
        (
            lambda: quillvane.count_zeros_before_non_zero(),
            "count_zeros_before_non_zero() takes exactly 1 positional argument (0 given)",
        ),
        (
            lambda: quillvane.count_zeros_before_non_zero(1, 2),
            "count_zeros_before_non_zero() takes exactly 1 positional argument (2 given)",
        ),
        (
            lambda: quillvane.createQuillvane(1, 2, 3, 4, "d", 6),
            "createQuillvane() takes exactly 5 positional arguments (6 given)",
        ),
        (
            lambda: quillvane._save_artifacts(1, 2, "a", "b", "c", extra=1),
            "_save_artifacts() got an unexpected keyword argument 'extra'",
        ),
        (
            lambda: quillvane._validate_inputs(model_instance=1, training_df=2, X_test=3, BINS_DIRECTORY="d"),
            "_validate_inputs() takes exactly 5 positional arguments (4 given)",
        ),
        # The last number is the position of the first missing parameter.
        (
            lambda: quillvane._validate_inputs(1, X_test=3, BINS_DIRECTORY="d", target_var="t"),
            "_validate_inputs() takes exactly 5 positional arguments (1 given)",
        ),
        (
            lambda: quillvane.createQuillvane(1, 2, 3, 4, "d", model=1),
            "createQuillvane() got multiple values for keyword argument 'model'",
        ),
        (
            lambda: quillvane.count_zeros_before_non_zero(1.0, number=2.0),
            "count_zeros_before_non_zero() got multiple values for keyword argument 'number'",
        ),
        (
            lambda: quillvane.count_zeros_before_non_zero(**{"num" + "ber": 1.0, "x": 1}),
            "count_zeros_before_non_zero() got an unexpected keyword argument 'x'",
        ),
        (
            lambda: quillvane._calculate_credit_scores(None, [], 0.5, 20, 200, 15, True),
            "Argument 'assume_higher_prob_bad_rate' has incorrect type (expected int, got bool)",
        ),
        (
            lambda: quillvane._generate_plots(None, (), "t", "p", "N"),
            "Argument 'LIST_BIN_VARS' has incorrect type (expected list, got tuple)",
        ),
        (
            lambda: quillvane._validate_inputs(1, 2, 3, None, None),
            "Argument 'BINS_DIRECTORY' has incorrect type (expected str, got NoneType)",
        ),
        (
            lambda: quillvane._merge_woe_data([], "t", None, None, b"dir"),
            "Argument 'BINS_DIRECTORY' has incorrect type (expected str, got bytes)",
        ),
        (
            lambda: quillvane._calculate_credit_scores(None, [], 0.5, 20.0, 200, 15, 1),
            "Argument 'pdo' has incorrect type (expected int, got float)",
        ),
        (lambda: quillvane._calculate_credit_scores(None, None, "x", 20, 200, 15, 1), "must be real number, not str"),
    ],
)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    name = message.split("(")[0] if "()" in message else None
    if name:
        assert entries(info.value)[-1] == ("tessaly/quillvane.cpp", "tessaly.quillvane." + name)
    assert getattr(info.value, "__notes__", None) == ([SUBCLASS_NOTE] if "got bool" in message else None)


def test_exact_types_with_numpy_and_subclasses():
    import numpy as np

    class Text(str):
        pass

    with pytest.raises(TypeError) as info:
        quillvane._calculate_credit_scores(None, [], 0.5, np.int64(20), 200, 15, 1)
    assert str(info.value) == "Argument 'pdo' has incorrect type (expected int, got numpy.int64)"
    assert not hasattr(info.value, "__notes__")
    with pytest.raises(TypeError) as info:
        quillvane._extract_shap_coefficients(None, None, Text("xgb"))
    assert str(info.value).startswith("Argument 'technique' has incorrect type (expected str, got ")
    assert str(info.value).endswith("test_exact_types_with_numpy_and_subclasses.<locals>.Text)")
    assert info.value.__notes__ == [SUBCLASS_NOTE]


def test_library_exception_passes_unchanged_with_one_entry(monkeypatch):
    raised = KeyError("from the library")

    class Path:
        def exists(self, _):
            raise raised

    class Os:
        path = Path()

    monkeypatch.setattr(quillvane, "os", Os())
    with pytest.raises(KeyError) as info:
        quillvane._validate_inputs(object(), None, None, "d", "t")
    assert info.value is raised
    names = [name for _, name in entries(info.value)]
    # Caller, then the module's entry, then the library's own frame.
    assert names[-2:] == ["tessaly.quillvane._validate_inputs", "exists"]


def test_module_globals_are_looked_up_at_each_use(monkeypatch):
    monkeypatch.delattr(quillvane, "os")
    with pytest.raises(NameError, match=r"^name 'os' is not defined$"):
        quillvane._validate_inputs(object(), None, None, "d", "t")
    # Missing from the module, a built-in of that name is used.
    calls = []

    class Path:
        def exists(self, p):
            calls.append(p)
            return False

    class Os:
        path = Path()

    monkeypatch.setattr(builtins, "os", Os(), raising=False)
    with pytest.raises(ValueError, match="BINS_DIRECTORY does not exist: d"):
        quillvane._validate_inputs(object(), None, None, "d", "t")
    assert calls == ["d"]


def test_cached_builtins_ignore_later_rebinding():
    real = builtins.ValueError
    builtins.ValueError = KeyError
    try:
        try:
            quillvane._validate_inputs(object(), None, None, "/no/such/dir", "t")
        except BaseException as e:
            caught = e
    finally:
        builtins.ValueError = real
    assert type(caught) is real


def test_second_import_and_reload_return_the_same_module():
    before = dict(vars(quillvane))
    del sys.modules["tessaly.quillvane"]
    again = importlib.import_module("tessaly.quillvane")
    assert again is quillvane
    assert importlib.reload(quillvane) is quillvane
    for name in FUNCTIONS + ["pd", "np", "__test__"]:
        assert vars(quillvane)[name] is before[name]


def test_one_interpreter_per_process():
    result = run_python(
        """
        import _interpreters
        import tessaly.quillvane
        legacy = _interpreters.create("legacy")
        error = _interpreters.exec(legacy, "import tessaly.quillvane")
        print(error.type.__name__, error.msg)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == (
        "ImportError Interpreter change detected - this module can only be loaded into one interpreter per process."
    )


def test_missing_numpy_fails_execution_and_leaves_module_importable():
    result = run_python(
        """
        import sys, traceback

        class NoNumpy:
            def find_spec(self, name, path=None, target=None):
                if name == "numpy" or name.startswith("numpy."):
                    raise ModuleNotFoundError(f"No module named {name!r}", name=name)

        blocker = NoNumpy()
        sys.meta_path.insert(0, blocker)
        try:
            import tessaly.quillvane
        except ModuleNotFoundError as e:
            print(type(e).__name__, e)
            print([f.name for f in traceback.extract_tb(e.__traceback__)][-3:])
        print("tessaly.quillvane" in sys.modules)
        sys.meta_path.remove(blocker)
        import tessaly.quillvane as q
        print(q.count_zeros_before_non_zero(0.001), q.np.__name__)
        """
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == "ModuleNotFoundError No module named 'numpy'"
    assert "init tessaly.quillvane" in lines[1]
    assert lines[2:] == ["False", "2 numpy"]
