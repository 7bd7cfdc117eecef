"""Building where the data lives: DuckDB and Spark (local mode) on Parquet files of generated applicants,
beside the in-memory build where it fits.

Run: ./run bench engines [--rows 10000000 50000000] [--engines duckdb spark memory] [--data DIR]

Each size is generated once into DIR (row group by row group: never the whole table in memory) with 30
predictors and a `holdout` column that names the test part, so every route builds from the same parts.
Each build runs in a child process of its own, so its peak memory is its own: the Python process's peak RSS,
and for Spark the JVM's too (in local mode its driver and executors run in one JVM, a child of the Python process, so
this is an upper bound of a cluster driver's). The table gives
wall seconds, the peak memory and the card's test AUC.
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

CHUNK = 1_000_000
PREDICTORS = 30
TEST_COLUMN = "holdout"
HOLDOUT = 0.3


def generate(path: Path, rows: int, seed: int = 0) -> Path:
    """`rows` applicants into one Parquet file, a row group per chunk; kept and reused when present."""
    import numpy as np
    import pyarrow as pa
    import pyarrow.parquet as pq
    from _data import applicants

    if path.exists():
        return path
    path.parent.mkdir(parents=True, exist_ok=True)
    tmp = path.with_suffix(".partial")
    writer = None
    try:
        for start in range(0, rows, CHUNK):
            n = min(CHUNK, rows - start)
            X, y = applicants(n, PREDICTORS, seed=seed * 100_003 + start // CHUNK)
            holdout = np.random.default_rng([seed, start]).random(n) < HOLDOUT
            table = pa.Table.from_pandas(X.assign(bad=y.to_numpy(), **{TEST_COLUMN: holdout}), preserve_index=False)
            if writer is None:
                writer = pq.ParquetWriter(tmp, table.schema)
            writer.write_table(table, row_group_size=CHUNK)
    finally:
        if writer is not None:
            writer.close()
    tmp.rename(path)
    return path


def _child(engine: str, data: str, out: str) -> dict:
    """One build, in this process: its time, card AUC and peak memory."""
    import tessaly

    started = time.perf_counter()
    session = jvm = None
    if engine == "spark":
        from tessaly.engines._engine import _session

        session = _session()  # started here so that its JVM's peak can be read before it stops
        jvm = session.sparkContext._gateway.proc.pid
        started = time.perf_counter()
    if engine == "memory":
        from tessaly._build import build

        result = build(data, out, target="bad", test_column=TEST_COLUMN)
    else:
        result = tessaly.build_in(engine, data, out, target="bad", test_column=TEST_COLUMN, session=session)
    seconds = time.perf_counter() - started
    jvm_mib = _peak_mib(jvm) if jvm else None
    if session is not None:
        session.stop()
    return {
        "seconds": seconds,
        "auc": result["metrics"]["auc"],
        "jvm_mib": jvm_mib,
        "python_mib": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024,
    }


def _peak_mib(pid: int) -> float:
    """The peak resident memory of a running process (Linux)."""
    with open(f"/proc/{pid}/status") as f:
        line = next(x for x in f if x.startswith("VmHWM:"))
    return int(line.split()[1]) / 1024


def _run(engine: str, data: Path, timeout: float) -> dict:
    with tempfile.TemporaryDirectory(prefix="tessaly-bench-") as tmp:
        code = (
            f"import json, sys; sys.path.insert(0, {str(Path(__file__).parent)!r}); import engines; "
            f"print(json.dumps(engines._child({engine!r}, {str(data)!r}, {str(Path(tmp) / 'card')!r})))"
        )
        try:
            done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=timeout)
        except subprocess.TimeoutExpired:
            return {"error": f"over {timeout:.0f}s"}
    if done.returncode != 0:
        return {"error": (done.stderr.strip().splitlines() or ["failed"])[-1][:120]}
    return json.loads(done.stdout.strip().splitlines()[-1])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rows", type=int, nargs="+", default=[10_000_000])
    parser.add_argument(
        "--engines", nargs="+", default=["duckdb", "spark", "memory"], choices=["duckdb", "spark", "memory"]
    )
    parser.add_argument("--data", default=os.path.join(tempfile.gettempdir(), "tessaly-engines-data"))
    parser.add_argument(
        "--memory-rows",
        type=int,
        default=10_000_000,
        help="the in-memory build runs up to this many rows (it needs the table in memory)",
    )
    parser.add_argument("--generate-only", action="store_true")
    parser.add_argument("--timeout", type=float, default=3 * 3600)
    args = parser.parse_args()
    print(f"{'rows':>12} {'engine':>8} {'seconds':>9} {'python MiB':>11} {'JVM MiB':>9} {'test AUC':>9}", flush=True)
    for rows in args.rows:
        data = generate(Path(args.data) / f"applicants-{rows}.parquet", rows)
        if args.generate_only:
            print(f"{rows:>12} generated {data} ({data.stat().st_size / 2**30:.1f} GiB)", flush=True)
            continue
        for engine in args.engines:
            if engine == "memory" and rows > args.memory_rows:
                print(f"{rows:>12} {engine:>8} {'(does not fit)':>9}", flush=True)
                continue
            r = _run(engine, data, args.timeout)
            if "error" in r:
                print(f"{rows:>12} {engine:>8} failed: {r['error']}", flush=True)
                continue
            jvm = f"{r['jvm_mib']:>9.0f}" if r.get("jvm_mib") else f"{'-':>9}"
            print(
                f"{rows:>12} {engine:>8} {r['seconds']:>9.1f} {r['python_mib']:>11.0f} {jvm} {r['auc']:>9.4f}",
                flush=True,
            )


if __name__ == "__main__":
    main()
