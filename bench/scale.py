"""How createQuillvane grows with the number of predictors and of scored rows.

Run: ./run bench scale [--long] [--profile-only] [...]   (see --help)

Two sweeps on synthetic credit data and a small real XGBoost model: predictors
doubling at fixed rows, then rows doubling at fixed predictors. Each size
prints wall seconds, the tracemalloc peak of Python-visible allocations during
a separate call (numpy, pandas and the extension allocate through it; memory
inside xgboost's and shap's C++ code is not seen), the process's peak RSS so
far (a high-water mark, so it only grows), and the growth exponent
d log t / d log n against the previous size (log2(t2/t1) for a doubling). A cProfile of one mid-size call
then gives the share of time spent in the extension's own code.
"""

from __future__ import annotations

import argparse
import contextlib
import cProfile
import io
import math
import os
import pstats
import resource
import shutil
import sys
import tempfile
import time
import tracemalloc

import numpy as np
import pandas as pd

TARGET = "target"
BINNING_COLUMNS = ["Bin", "Count", "Count (%)", "Non-event", "Event", "Event rate", "WoE", "IV", "JS"]
MAX_BINS = 10  # feature names carry the bin index as a single digit


def _edge(value: float) -> str:
    return "inf" if value == np.inf else "-inf" if value == -np.inf else f"{value:.3f}"


class Dataset:
    """Predictors with 2..10 bins each, tables as a binning library writes them."""

    def __init__(self, directory: str, n_predictors: int, n_train: int, n_test: int, seed: int = 0):
        rng = np.random.default_rng(seed)
        n = n_train + n_test
        self.predictors = [f"p{i:03d}" for i in range(n_predictors)]
        n_bins = rng.integers(2, MAX_BINS + 1, n_predictors)
        log_odds = np.full(n, -1.2)
        bin_index = np.empty((n_predictors, n), dtype=np.int8)
        labels_of = {}
        # Effects shrink with the predictor count so the target stays mixed.
        scale = 2.0 / math.sqrt(n_predictors)
        for j, name in enumerate(self.predictors):
            k = int(n_bins[j])
            cuts = np.sort(rng.normal(0.0, 1.0, k - 1))
            raw = rng.normal(0.0, 1.0, n)
            index = np.searchsorted(cuts, raw, side="right")
            bin_index[j] = index
            log_odds += scale * rng.normal(0.0, 1.0, k)[index]
            edges = [-np.inf, *cuts, np.inf]
            labels_of[name] = [f"[{_edge(lo)}, {_edge(hi)})" for lo, hi in zip(edges[:-1], edges[1:])]
        target = (rng.random(n) < 1.0 / (1.0 + np.exp(-log_odds))).astype(np.int64)

        training = {}
        onehot_cols = {}
        for j, name in enumerate(self.predictors):
            labels = np.asarray(labels_of[name], dtype=object)
            training[name] = labels[bin_index[j, :n_train]]
            for b in range(len(labels)):
                onehot_cols[f"{name}_{b}"] = (bin_index[j] == b).astype(np.int64)
        self.training_df = pd.DataFrame(training)
        self.training_df[TARGET] = target[:n_train]
        features = pd.DataFrame(onehot_cols)
        self.X_train = features.iloc[:n_train].reset_index(drop=True)
        self.y_train = target[:n_train]
        self.X_test = features.iloc[n_train:].reset_index(drop=True)

        depth = max(len(v) for v in labels_of.values())
        reference = {}
        for name in self.predictors:
            labels = labels_of[name]
            pad = [np.nan] * (depth - len(labels))
            reference[name] = pd.Series(labels + pad, dtype=object)
            reference[f"{name}_RF"] = pd.Series([f"{name}_{b}" for b in range(len(labels))] + pad, dtype=object)
        self.input_ref_df = pd.DataFrame(reference)

        self.bins_directory = os.path.join(directory, "bins")
        os.makedirs(self.bins_directory, exist_ok=True)
        train_target = target[:n_train]
        for j, name in enumerate(self.predictors):
            self._binning_table(bin_index[j, :n_train], train_target, labels_of[name]).to_pickle(
                os.path.join(self.bins_directory, f"{name}.pkl")
            )

    @staticmethod
    def _binning_table(index: np.ndarray, target: np.ndarray, labels: list[str]) -> pd.DataFrame:
        k = len(labels)
        event = np.bincount(index, weights=target, minlength=k)
        count = np.bincount(index, minlength=k).astype(float)
        non_event = count - event
        with np.errstate(divide="ignore", invalid="ignore"):
            event_rate = np.where(count > 0, event / np.maximum(count, 1), 0.0)
            woe = np.log((non_event / non_event.sum()) / (event / event.sum()))
            iv = np.where(np.isfinite(woe), (non_event / non_event.sum() - event / event.sum()) * woe, 0.0)
        z = [0.0, 0.0]
        return pd.DataFrame(
            {
                "Bin": labels + ["Special", "Missing"],
                "Count": np.append(count, z).astype(int),
                "Count (%)": np.append(count / count.sum(), z),
                "Non-event": np.append(non_event, z).astype(int),
                "Event": np.append(event, z).astype(int),
                "Event rate": np.append(event_rate, z),
                "WoE": np.append(woe, z),
                "IV": np.append(iv, z),
                "JS": np.append(iv / 8.0, z),
            }
        )[BINNING_COLUMNS]


def train(data: Dataset, trees: int, depth: int):
    import xgboost

    model = xgboost.XGBClassifier(n_estimators=trees, max_depth=depth, learning_rate=0.3, n_jobs=2, random_state=0)
    return model.fit(data.X_train, data.y_train)


def call(quillvane, model, data: Dataset, out: str):
    # The build reports progress and shap notes on both streams.
    with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
        return quillvane.createQuillvane(
            model,
            data.training_df,
            data.X_test,
            data.input_ref_df,
            data.bins_directory,
            show_warnings="N",
            plots_directory=os.path.join(out, "plots"),
            scorecard_directory=os.path.join(out, "card"),
            model_directory=os.path.join(out, "model"),
            target_var=TARGET,
        )


def peak_rss_mib() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0  # KiB on Linux


def measure(quillvane, args, n_predictors: int, n_test: int, root: str):
    directory = tempfile.mkdtemp(dir=root)
    try:
        data = Dataset(directory, n_predictors, args.train_rows, n_test, seed=args.seed)
        model = train(data, args.trees, args.depth)
        best = math.inf
        for r in range(args.repeat):
            start = time.perf_counter()
            card = call(quillvane, model, data, os.path.join(directory, f"run{r}"))
            best = min(best, time.perf_counter() - start)
            assert isinstance(card, pd.DataFrame) and len(card) > 0, "no scorecard came back"
        # Tracing slows every allocation, so memory gets a call of its own.
        tracemalloc.start()
        call(quillvane, model, data, os.path.join(directory, "traced"))
        peak = tracemalloc.get_traced_memory()[1]
        tracemalloc.stop()
        return best, peak / 2**20, data.X_test.shape[1]
    finally:
        shutil.rmtree(directory, ignore_errors=True)


def warm_up(quillvane, args, root: str):
    """One small call first, so no size pays for imports and shap's first-use setup."""
    directory = tempfile.mkdtemp(dir=root)
    try:
        data = Dataset(directory, 5, 500, 200, seed=args.seed)
        call(quillvane, train(data, args.trees, args.depth), data, os.path.join(directory, "out"))
    finally:
        shutil.rmtree(directory, ignore_errors=True)


def sweep(quillvane, args, title: str, sizes: list[tuple[int, int]], key: int, root: str):
    print(f"\n{title}")
    print(
        f"{'predictors':>10} {'features':>8} {'rows':>8} {'seconds':>9} {'tracemalloc MiB':>16} {'peak RSS MiB':>13} {'exponent':>9}"
    )
    prev = None
    for n_predictors, n_test in sizes:
        seconds, peak, features = measure(quillvane, args, n_predictors, n_test, root)
        n = (n_predictors, n_test)[key]
        exponent = "" if prev is None else f"{math.log(seconds / prev[1]) / math.log(n / prev[0]):9.2f}"
        print(
            f"{n_predictors:>10} {features:>8} {n_test:>8} {seconds:>9.3f} {peak:>16.1f} {peak_rss_mib():>13.0f} {exponent:>9}",
            flush=True,
        )
        prev = (n, seconds)


def doubling(start: int, stop: int) -> list[int]:
    sizes = [start]
    while sizes[-1] * 2 < stop:
        sizes.append(sizes[-1] * 2)
    return sizes + [stop]


def _profiled(quillvane) -> dict[str, object]:
    """Puts a one-line Python wrapper around each of the extension's functions.

    The extension's functions are not builtins to the profiler, so calls to
    them are not recorded and their time lands in whichever Python frame is
    below. A wrapper per function (its own code object, so cProfile keeps them
    apart) gives each a frame whose tottime is that function's own time. The
    driver looks its steps up in the module at call time, so the inner steps
    get wrapped too. Returns the originals for restoring.
    """
    originals = {}
    for name in dir(quillvane):
        f = getattr(quillvane, name)
        if name.startswith("__") or getattr(f, "__module__", None) != quillvane.__name__ or not callable(f):
            continue
        namespace = {"f": f}
        exec(compile(f"def {name}(*a, **k):\n    return f(*a, **k)\n", "<tessaly.quillvane>", "exec"), namespace)
        originals[name] = f
        setattr(quillvane, name, namespace[name])
    return originals


def own_share(quillvane, args, root: str):
    """The extension's own time over the whole call, from cProfile.

    A function's own time is its tottime: the time inside it minus the Python
    functions and interpreter-called builtins under it. Builtins the extension
    calls straight from C (numpy and pandas C functions, say) are invisible to
    the profiler and stay in that figure, so the share is an upper bound.
    """
    directory = tempfile.mkdtemp(dir=root)
    originals = _profiled(quillvane)
    try:
        data = Dataset(directory, args.profile_predictors, args.train_rows, args.profile_rows, seed=args.seed)
        model = train(data, args.trees, args.depth)
        profiler = cProfile.Profile()
        profiler.enable()
        call(quillvane, model, data, os.path.join(directory, "profiled"))
        profiler.disable()
    finally:
        for name, f in originals.items():
            setattr(quillvane, name, f)
        shutil.rmtree(directory, ignore_errors=True)
    stats = pstats.Stats(profiler)
    own = {
        label: (nc, tottime, cumtime)
        for (filename, _line, label), (_cc, nc, tottime, cumtime, _callers) in stats.stats.items()
        if filename == "<tessaly.quillvane>"
    }
    total = stats.total_tt
    own_total = sum(t for _, t, _ in own.values())
    print(f"\nprofile: {args.profile_predictors} predictors, {args.profile_rows} rows, {total:.3f} s under cProfile")
    for label, (nc, tottime, cumtime) in sorted(own.items(), key=lambda kv: -kv[1][2]):
        print(f"  {label:<28} calls {nc:>3}  own {tottime:8.4f} s  with callees {cumtime:8.3f} s")
    print(f"  extension's own share: {own_total:.4f} s of {total:.3f} s = {100 * own_total / total:.3f}%")
    if args.top:
        print()
        stats.sort_stats("tottime").print_stats(args.top)
    if "createQuillvane" not in own or len(own) < 2:
        sys.exit("scale: the profile did not see the extension's functions")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument(
        "--long", action="store_true", help="predictors up to 400 at 20,000 rows, rows up to 200,000 at 100 predictors"
    )
    parser.add_argument("--max-predictors", type=int, help="end of the predictor sweep (default 400)")
    parser.add_argument("--max-rows", type=int, help="end of the rows sweep (default 200,000)")
    parser.add_argument("--fixed-rows", type=int, help="rows in the predictor sweep (default 5,000; --long 20,000)")
    parser.add_argument("--fixed-predictors", type=int, help="predictors in the rows sweep (default 20; --long 100)")
    parser.add_argument("--train-rows", type=int, default=5000, help="rows the model is trained on (default 5,000)")
    parser.add_argument("--trees", type=int, default=20)
    parser.add_argument("--depth", type=int, default=3)
    parser.add_argument("--repeat", type=int, default=1, help="timed calls per size, best kept (default 1)")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--profile-predictors", type=int, default=80)
    parser.add_argument("--profile-rows", type=int, default=20000)
    parser.add_argument("--top", type=int, default=0, help="also print the profile's N heaviest functions")
    parser.add_argument("--profile-only", action="store_true")
    parser.add_argument("--no-profile", action="store_true")
    args = parser.parse_args()

    from tessaly import quillvane

    fixed_rows = args.fixed_rows or (20000 if args.long else 5000)
    fixed_predictors = args.fixed_predictors or (100 if args.long else 20)
    max_predictors = args.max_predictors or 400
    max_rows = args.max_rows or 200000
    print(
        f"XGBoost {args.trees} trees depth {args.depth}, trained on {args.train_rows} rows; seconds are the best of {args.repeat}"
    )
    print(
        "tracemalloc MiB: peak of traced allocations during a separate call; peak RSS MiB: the process's high-water mark so far"
    )
    with tempfile.TemporaryDirectory(prefix="tessaly-scale-") as root:
        started = time.perf_counter()
        warm_up(quillvane, args, root)
        if not args.profile_only:
            sweep(
                quillvane,
                args,
                f"predictors doubling, {fixed_rows} rows",
                [(p, fixed_rows) for p in doubling(10, max_predictors)],
                0,
                root,
            )
            sweep(
                quillvane,
                args,
                f"rows doubling, {fixed_predictors} predictors",
                [(fixed_predictors, r) for r in doubling(1000, max_rows)],
                1,
                root,
            )
        if not args.no_profile:
            own_share(quillvane, args, root)
        print(f"\ntotal {time.perf_counter() - started:.0f} s")


if __name__ == "__main__":
    main()
