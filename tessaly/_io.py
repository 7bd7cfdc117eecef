"""Reading applicants' tables and writing outputs so that no run can lose or tear a file.

Every output is written under a name unique to the run, next to its target, and moved into place
only when whole; a card directory is swapped for its successor in one step, and only a directory
that an earlier build marked as its own is ever replaced.
"""

from __future__ import annotations

import contextlib
import ctypes
import errno
import json
import os
import re
import shutil
import signal
import tempfile
import threading
from pathlib import Path

from ._errors import InputError

MARKER = ".tessaly-card"
# Written into a card directory after the build by `score` (its default output) and by `demo`.
DERIVED = ("scores.csv", "scores.parquet", "test_applicants.csv", "test_scores_applied.csv")
PARQUET = (".parquet", ".pq")
# pandas' own list, so that build (pandas) and score (pyarrow) agree on what is missing.
NA_TEXT = ["", "#N/A", "#N/A N/A", "#NA", "-1.#IND", "-1.#QNAN", "-NaN", "-nan", "1.#IND", "1.#QNAN", "<NA>",
           "N/A", "NA", "NULL", "NaN", "None", "n/a", "nan", "null"]
BATCH_ROWS = 1 << 17


def _reason(e: BaseException) -> str:
    text = getattr(e, "strerror", None) or str(e).strip()
    text = text.splitlines()[0] if text else type(e).__name__
    if getattr(e, "filename", None):
        text += f" ({e.filename})"
    return text


def check_names(names, path) -> None:
    """Column names a table may have: no control characters, no duplicates."""
    seen = set()
    for name in names:
        if not isinstance(name, str):
            continue
        if re.search(r"[\x00-\x1f\x7f]", name):
            raise InputError(f"'{path}' has a column name with a control character ({name[:40]!r}): rename it")
        if name in seen:
            raise InputError(f"'{path}' has two columns named {name[:80]!r}: rename one")
        seen.add(name)


@contextlib.contextmanager
def _reading(path: Path):
    """Any failure to read `path`, in one line: the parsers raise many kinds, each a file we cannot use."""
    try:
        yield
    except FileNotFoundError:
        raise InputError(f"cannot read '{path}': no such file") from None
    except IsADirectoryError:
        raise InputError(f"cannot read '{path}': it is a directory") from None
    except PermissionError:
        raise InputError(f"cannot read '{path}': permission denied") from None
    except InputError:
        raise
    except Exception as e:
        raise InputError(f"cannot read '{path}': {_reason(e)}") from None


def read_table(path):
    """The whole table, types inferred by pandas (the build bins what it sees)."""
    import pandas as pd

    path = Path(path)
    with _reading(path):
        data = pd.read_parquet(path) if path.suffix.lower() in PARQUET else _read_csv_pandas(path)
    check_names(data.columns, path)
    if data.empty:
        raise InputError(f"'{path}' has no applicants")
    return data


def _read_csv_pandas(path):
    import csv

    import pandas as pd

    # pandas renames a repeated header "x" to "x.1": the header itself says whether names repeat.
    with open(path, newline="", encoding="utf-8", errors="replace") as f:
        check_names(next(csv.reader(f), []), path)
    return pd.read_csv(path)


def _parse_options():
    import pyarrow.csv as pcsv

    # Quoted cells may hold line breaks, as pandas reads them at build time.
    return pcsv.ParseOptions(newlines_in_values=True)


def _csv_names(path) -> list[str]:
    import pyarrow.csv as pcsv

    reader = pcsv.open_csv(path, parse_options=_parse_options())
    try:
        return reader.schema.names
    finally:
        reader.close()


def table_columns(path) -> list[str]:
    path = Path(path)
    with _reading(path):
        if path.suffix.lower() in PARQUET:
            import pyarrow.parquet as pq

            names = pq.ParquetFile(path).schema_arrow.names
        else:
            names = _csv_names(path)
    check_names(names, path)
    return names


def iter_batches(path, batch_rows: int = BATCH_ROWS, columns=None):
    """Record batches of the table. CSV columns come as text: the card matches values by meaning,
    so no type guessed from one block can differ from the next block's or another file's."""
    import pyarrow as pa

    path = Path(path)
    names = table_columns(path)
    wanted = list(columns) if columns is not None else names
    try:
        if path.suffix.lower() in PARQUET:
            import pyarrow.parquet as pq

            # Pre-buffering reads ahead without bound: memory would grow with the file.
            batches = pq.ParquetFile(path, pre_buffer=False).iter_batches(batch_size=batch_rows, columns=wanted)
        else:
            import pyarrow.csv as pcsv

            batches = pcsv.open_csv(
                path,
                read_options=pcsv.ReadOptions(block_size=1 << 22),
                parse_options=_parse_options(),
                convert_options=pcsv.ConvertOptions(
                    column_types={n: pa.string() for n in names}, include_columns=wanted,
                    null_values=NA_TEXT, strings_can_be_null=True, quoted_strings_can_be_null=True,
                ),
            )
        for batch in batches:
            if batch.num_rows:
                yield batch
    except (OSError, pa.ArrowException, ValueError, UnicodeDecodeError) as e:
        raise InputError(f"cannot read '{path}': {_reason(e)}") from None


# ---------------------------------------------------------------------------------------------
# Output paths


def check_output(out, *, inputs=(), card_dir=None, allowed_in_card=()) -> Path:
    """The path a file output may take, or a one-line reason why not."""
    if out is None or str(out).strip() == "":
        raise InputError("--out is empty: name the file to write")
    try:
        return _check_output(out, inputs, card_dir, allowed_in_card)
    except OSError as e:  # a name too long, a loop of links...
        raise InputError(f"cannot write '{out}': {_reason(e)}") from None


def _check_output(out, inputs, card_dir, allowed_in_card) -> Path:
    out = Path(os.path.abspath(out))
    if out.is_dir():
        raise InputError(f"output '{out}' is a directory: name a file")
    parent = out.parent
    _check_parent(parent, out)
    if out.exists():
        for source in inputs:
            with contextlib.suppress(OSError):
                if os.path.samefile(out, source):
                    raise InputError(f"output '{out}' is the input file '{source}': choose another --out")
    if card_dir is not None:
        card = Path(card_dir).resolve()
        where = parent.resolve() / out.name
        if where == card or card in where.parents:
            if not (where.parent == card and out.name in allowed_in_card):
                raise InputError(f"output '{out}' lies inside the card '{card}': write it elsewhere")
    return out


def _check_parent(parent: Path, out: Path) -> None:
    for folder in (parent, *parent.parents):
        if folder.exists():
            if not folder.is_dir():
                raise InputError(f"cannot write '{out}': '{folder}' is a file, not a directory")
            break
    if not parent.is_dir():
        raise InputError(f"cannot write '{out}': folder '{parent}' does not exist")
    if not os.access(parent, os.W_OK | os.X_OK):
        raise InputError(f"cannot write into '{parent}': permission denied")


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


def _mode() -> int:
    return 0o666 & ~_umask()


@contextlib.contextmanager
def atomic_path(out: Path):
    """A unique temporary path beside `out`, moved onto it only when the block completes."""
    out = Path(out)
    try:
        fd, tmp = tempfile.mkstemp(prefix=f".{out.name[:40]}.", suffix=".tmp", dir=out.parent)
    except OSError as e:
        raise InputError(f"cannot write '{out}': {_reason(e)}") from None
    os.close(fd)
    tmp = Path(tmp)
    try:
        yield tmp
        fd = os.open(tmp, os.O_RDONLY)
        try:
            os.fchmod(fd, _mode())
            os.fsync(fd)
        finally:
            os.close(fd)
        with critical():
            os.replace(tmp, out)
    except OSError as e:
        tmp.unlink(missing_ok=True)
        raise InputError(f"cannot write '{out}': {_reason(e)}") from None
    except BaseException:
        tmp.unlink(missing_ok=True)
        raise


# ---------------------------------------------------------------------------------------------
# CSV formula neutralisation

_FORMULA = r"^[=+\-@\t\r]"
_NUMBER = r"^[+-]?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?$"


def neutral_text(text: str) -> str:
    if re.match(_FORMULA, text) and not re.match(_NUMBER, text):
        return "'" + text
    return text


def _neutral_array(array):
    import pyarrow as pa
    import pyarrow.compute as pc

    if pa.types.is_dictionary(array.type):
        # Labels and names repeat: look at each distinct value once.
        return pa.DictionaryArray.from_arrays(array.indices, _neutral_array(array.dictionary))
    if not (pa.types.is_string(array.type) or pa.types.is_large_string(array.type)):
        return array
    first = pc.utf8_slice_codeunits(array, 0, 1)
    if not pc.any(pc.is_in(first, value_set=pa.array(list("=+-@\t\r"), array.type))).as_py():
        return array
    risky = pc.and_(pc.match_substring_regex(array, _FORMULA),
                    pc.invert(pc.match_substring_regex(array, _NUMBER)))
    if not pc.any(risky).as_py():
        return array
    quoted = pc.binary_join_element_wise(pa.scalar("'", array.type), array, pa.scalar("", array.type))
    return pc.if_else(risky, quoted, array)


def _plain(batch):
    """Dictionary columns as their values: readers get text, not categories."""
    import pyarrow as pa

    if not any(pa.types.is_dictionary(t) for t in batch.schema.types):
        return batch
    return pa.RecordBatch.from_arrays(
        [c.dictionary_decode() if pa.types.is_dictionary(c.type) else c for c in batch.columns],
        names=batch.schema.names)


def neutralised(batch):
    """The batch as a spreadsheet may safely open it: text that would run as a formula starts with '."""
    import pyarrow as pa

    return pa.RecordBatch.from_arrays([_neutral_array(c) for c in batch.columns],
                                      names=[neutral_text(n) for n in batch.schema.names])


class _Writer:
    def __init__(self, tmp: Path, parquet: bool):
        self.tmp, self.parquet = tmp, parquet
        self._writer = self._schema = None
        self.rows = 0

    def write(self, batch) -> None:
        import pyarrow as pa

        if isinstance(batch, pa.Table):
            batches = batch.to_batches() or [pa.RecordBatch.from_pylist([], schema=batch.schema)]
            for b in batches:
                self.write(b)
            return
        if self._schema is None:
            self._schema = batch.schema
        elif batch.schema != self._schema:
            batch = batch.cast(self._schema)
        ready = _plain(batch if self.parquet else neutralised(batch))
        if self._writer is None:
            if self.parquet:
                import pyarrow.parquet as pq

                self._writer = pq.ParquetWriter(self.tmp, ready.schema)
            else:
                import pyarrow.csv as pcsv

                self._writer = pcsv.CSVWriter(self.tmp, ready.schema)
        self._writer.write_batch(ready)
        self.rows += batch.num_rows

    def close(self) -> None:
        if self._writer is not None:
            self._writer.close()


def check_format(out: Path) -> bool:
    """True for Parquet, False for CSV; anything else is refused."""
    suffix = Path(out).suffix.lower()
    if suffix not in (".csv", *PARQUET):
        raise InputError(f"output '{out}' must end in .csv or .parquet")
    return suffix in PARQUET


@contextlib.contextmanager
def table_writer(out: Path):
    """A writer of batches into one Parquet or CSV file (by the extension), whole or not at all."""
    parquet = check_format(out)
    with atomic_path(out) as tmp:
        writer = _Writer(tmp, parquet)
        try:
            yield writer
        except BaseException:
            with contextlib.suppress(Exception):
                writer.close()
            raise
        writer.close()


def write_frame(frame, out: Path) -> Path:
    """A whole pandas frame to `out` (CSV or Parquet by extension), atomically."""
    import pyarrow as pa

    try:
        table = pa.Table.from_pandas(frame, preserve_index=False)
    except (pa.ArrowTypeError, pa.ArrowInvalid):
        # A column of mixed Python types: written as the text of each value.
        mixed = frame.select_dtypes(include="object").columns
        frame = frame.assign(**{c: frame[c].astype(str).where(frame[c].notna(), None) for c in mixed})
        table = pa.Table.from_pandas(frame, preserve_index=False)
    with table_writer(out) as w:
        w.write(table)
    return Path(out)


# ---------------------------------------------------------------------------------------------
# Scoring file to file

SCORE_NAMES = ("scores.csv", "scores.parquet")


def load_card(card_dir):
    from ._card import Card

    card_dir = Path(card_dir)
    if not card_dir.is_dir():
        raise InputError(f"'{card_dir}' is not a card directory")
    try:
        return Card.load(card_dir)
    except InputError:
        raise
    except Exception as e:  # a damaged file fails wherever the decoder notices
        raise InputError(f"cannot read the card in '{card_dir}': {_reason(e)}") from None


def output_names(card) -> list[str]:
    names = [f"{p}_{part}" for p in list(card.names) for part in ("bin", "points")]
    return names + ["score", "reason_1", "reason_2", "reason_3"]


def describe_unseen(counts: dict) -> list[str]:
    parts = []
    for p, c in counts.items():
        if c["unseen"] or c["unreadable"]:
            what = [f"{c['unreadable']} unreadable"] * bool(c["unreadable"]) + [f"{c['unseen']} unseen"] * bool(c["unseen"])
            parts.append(f"'{p}' {' and '.join(what)}")
    return parts


def score_file(card_dir, data_path, out_path=None, *, ids=(), strict=False, batch_rows=BATCH_ROWS,
               progress=None, allowed_in_card=SCORE_NAMES):
    """Score a table batch by batch into `out_path`; returns the path, the rows and the unseen counts."""
    import pyarrow as pa

    card = load_card(card_dir)
    data_path = Path(data_path)
    out = Path(card_dir) / "scores.csv" if out_path is None else out_path
    out = check_output(out, inputs=[data_path], card_dir=card_dir, allowed_in_card=allowed_in_card)
    check_format(out)

    columns = table_columns(data_path)
    predictors = list(card.names)
    absent = [p for p in predictors if p not in columns]
    if absent:
        raise InputError(f"the applicants lack the predictor column{'s' * (len(absent) > 1)} {', '.join(map(repr, absent))}")
    ids = list(ids)
    for i in ids:
        if i not in columns:
            raise InputError(f"--id column {i!r} is not in '{data_path}'")
    produced = output_names(card)
    textual = [name.endswith("_bin") for name in produced[:-4]] + [False, True, True, True]
    clash = [i for i in ids if i in produced] or [i for i in set(ids) if ids.count(i) > 1]
    if clash:
        raise InputError(f"--id column {clash[0]!r} is named like an output column or given twice: rename it in the table")
    target = card.target if card.target in columns and card.target not in ids else None
    wanted = list(dict.fromkeys([*ids, *predictors, *([target] if target else [])]))

    counts = {p: {"unseen": 0, "unreadable": 0} for p in predictors}
    if progress:
        progress.step(f"scoring the applicants of {data_path}")
    with table_writer(out) as writer:
        for batch in iter_batches(data_path, batch_rows, columns=wanted):
            inputs = [batch.column(p) for p in predictors]
            inputs = [c.dictionary_decode() if pa.types.is_dictionary(c.type) else c for c in inputs]
            frame = pa.RecordBatch.from_arrays(inputs, names=predictors).to_pandas()
            scored, seen = card.apply(frame)
            for p, c in seen.items():
                counts[p]["unseen"] += int(c["unseen"])
                counts[p]["unreadable"] += int(c["unreadable"])
            arrays = [batch.column(i) for i in ids]
            for name, text in zip(produced, textual):
                values = pa.Array.from_pandas(scored[name])
                if not text:
                    values = values.cast(pa.float64())
                elif pa.types.is_dictionary(values.type):
                    values = values.cast(pa.dictionary(pa.int32(), pa.string()))
                else:
                    values = values.cast(pa.string())
                arrays.append(values)
            names = ids + produced
            if target:
                arrays.append(batch.column(target))
                names.append(target)
            writer.write(pa.RecordBatch.from_arrays(arrays, names=names))
        if writer.rows == 0:
            raise InputError(f"'{data_path}' has no applicants")
        faults = describe_unseen(counts)
        if strict and faults:
            raise InputError(f"--strict: values the card has never seen: {', '.join(faults)}; no scores written")
    return out, writer.rows, counts


# ---------------------------------------------------------------------------------------------
# Card directories


def _marker_entries(directory: Path):
    try:
        saved = json.loads((directory / MARKER).read_text(encoding="utf-8"))
    except (OSError, ValueError):
        return None
    if not isinstance(saved, dict) or saved.get("format") != "tessaly-card-dir":
        return None
    entries = saved.get("entries")
    return set(entries) if isinstance(entries, list) else None


def write_marker(directory: Path) -> None:
    """Mark a staged card directory as the build's own, listing what it holds."""
    entries = sorted(os.listdir(directory)) + [MARKER]
    (Path(directory) / MARKER).write_text(
        json.dumps({"format": "tessaly-card-dir", "version": 1, "entries": entries}), encoding="utf-8"
    )


def check_card_out(out) -> Path:
    """The directory a build may write: new, empty, or an earlier card of a build."""
    if out is None or str(out).strip() == "":
        raise InputError("--out is empty: name the card directory")
    try:
        return _check_card_out(out)
    except OSError as e:
        raise InputError(f"cannot write the card to '{out}': {_reason(e)}") from None


def _check_card_out(out) -> Path:
    out = Path(os.path.abspath(out))
    if out.exists() and not out.is_dir():
        raise InputError(f"output '{out}' is a file, not a directory")
    for folder in out.parents:
        if folder.exists():
            if not folder.is_dir():
                raise InputError(f"output '{out}' is inside '{folder}', which is a file")
            if not os.access(folder, os.W_OK | os.X_OK):
                raise InputError(f"cannot create '{out}': '{folder}' is not writable")
            break
    if out.is_dir():
        _check_replaceable(out)
    return out


def _check_replaceable(out: Path) -> None:
    try:
        present = set(os.listdir(out))
    except OSError as e:
        raise InputError(f"cannot read '{out}': {_reason(e)}") from None
    if not present:
        return
    owned = _marker_entries(out)
    if owned is None:
        raise InputError(f"'{out}' is not empty and is no card of an earlier build: choose a new or empty --out")
    foreign = sorted(present - owned - set(DERIVED))
    if foreign:
        raise InputError(f"'{out}' holds '{foreign[0][:80]}', which no build wrote: move it away or choose another --out")
    if not os.access(out, os.W_OK | os.X_OK) or not os.access(out.parent, os.W_OK | os.X_OK):
        raise InputError(f"cannot replace '{out}': permission denied")


_RENAME_EXCHANGE = 2
_AT_FDCWD = -100


def _exchange(a: Path, b: Path) -> bool:
    """Swap two paths in one step (Linux renameat2); False where the system cannot."""
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        renameat2 = libc.renameat2
    except (OSError, AttributeError):
        return False
    renameat2.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p, ctypes.c_uint]
    if renameat2(_AT_FDCWD, os.fsencode(a), _AT_FDCWD, os.fsencode(b), _RENAME_EXCHANGE) == 0:
        return True
    err = ctypes.get_errno()
    if err in (errno.EINVAL, errno.ENOSYS, errno.EOPNOTSUPP, errno.EPERM):
        return False
    raise OSError(err, os.strerror(err), str(b))


def _fsync_dir(path: Path) -> None:
    with contextlib.suppress(OSError):
        fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
        try:
            os.fsync(fd)
        finally:
            os.close(fd)


def _fsync_tree(root: Path) -> None:
    for folder, _, files in os.walk(root):
        for name in files:
            with contextlib.suppress(OSError):
                fd = os.open(os.path.join(folder, name), os.O_RDONLY)
                try:
                    os.fsync(fd)
                finally:
                    os.close(fd)
        _fsync_dir(Path(folder))


def _install(stage: Path, out: Path) -> None:
    """Put the staged card at `out`; at every instant `out` or a hidden sibling holds a whole card."""
    _fsync_tree(stage)
    if not out.exists():
        try:
            os.rename(stage, out)  # also onto an empty directory made meanwhile
            _fsync_dir(out.parent)
            return
        except OSError as e:
            if e.errno not in (errno.ENOTEMPTY, errno.EEXIST):
                raise
        _check_replaceable(out)
    if _exchange(stage, out):
        _fsync_dir(out.parent)
        shutil.rmtree(stage, ignore_errors=True)  # now the earlier card
        return
    old = Path(tempfile.mkdtemp(prefix=f".{out.name[:40]}.", suffix=".old", dir=out.parent))
    os.rmdir(old)
    os.rename(out, old)
    os.rename(stage, out)
    _fsync_dir(out.parent)
    shutil.rmtree(old, ignore_errors=True)


@contextlib.contextmanager
def staged_card(out):
    """A fresh sibling directory to build the card in, swapped onto `out` when the block completes."""
    out = check_card_out(out)
    try:
        out.parent.mkdir(parents=True, exist_ok=True)
        stage = Path(tempfile.mkdtemp(prefix=f".{out.name[:40]}.", suffix=".stage", dir=out.parent))
        os.chmod(stage, 0o777 & ~_umask())  # mkdtemp's 0700 would hide the card from its readers
    except OSError as e:
        raise InputError(f"cannot create '{out}': {_reason(e)}") from None
    try:
        yield stage
        write_marker(stage)
        with critical():
            # Anything may have appeared at `out` while the build ran.
            _check_replaceable(out) if out.is_dir() else check_card_out(out)
            _install(stage, out)
    except OSError as e:
        shutil.rmtree(stage, ignore_errors=True)
        raise InputError(f"cannot write the card to '{out}': {_reason(e)}") from None
    except BaseException:
        shutil.rmtree(stage, ignore_errors=True)
        raise


# ---------------------------------------------------------------------------------------------
# Interruption
#
# Native libraries may take over SIGINT for their own use and leave it at the default when done
# (the solver behind optbinning does), after which Ctrl-C would kill the process before any
# cleanup. So both signals are blocked in every thread and one thread waits for them, then
# interrupts the main thread: a KeyboardInterrupt that runs the cleanup of whatever was staged.

_SIGNALS = {signal.SIGINT, signal.SIGTERM}
_WAKE = signal.SIGUSR2


class _Interrupts:
    def __init__(self):
        self.depth = 0  # critical sections open in the main thread
        self.pending = False
        self.fired = False
        self.lock = threading.Lock()


_state = _Interrupts()


@contextlib.contextmanager
def critical():
    """A few steps that an interrupt must not split (the final moves); it takes effect after them."""
    with _state.lock:
        _state.depth += 1
    try:
        yield
    finally:
        with _state.lock:
            _state.depth -= 1
            fire = _state.depth == 0 and _state.pending
            _state.pending = False
    if fire:
        raise KeyboardInterrupt


@contextlib.contextmanager
def interrupts_raise():
    """Ctrl-C and SIGTERM raise KeyboardInterrupt in the main thread, whatever libraries do to the handlers."""
    if threading.current_thread() is not threading.main_thread() or not hasattr(signal, "pthread_sigmask"):
        yield
        return
    import _thread

    # interrupt_main acts only through Python's own SIGINT handler; a SIGINT that the parent
    # ignored (a job started in the background, nohup) stays ignored.
    ignored = {signal.SIGINT} if signal.getsignal(signal.SIGINT) == signal.SIG_IGN else set()
    handler = signal.signal(signal.SIGINT, signal.default_int_handler)
    previous = signal.pthread_sigmask(signal.SIG_BLOCK, _SIGNALS)
    stop = threading.Event()

    def wait():
        signal.pthread_sigmask(signal.SIG_BLOCK, _SIGNALS | {_WAKE})
        while not stop.is_set():
            got = signal.sigwait(_SIGNALS | {_WAKE})
            if stop.is_set() or got == _WAKE or got in ignored or _state.fired:
                continue
            with _state.lock:
                _state.fired = True
                if _state.depth:
                    _state.pending = True
                    continue
            _thread.interrupt_main()

    waiter = threading.Thread(target=wait, name="tessaly-signals", daemon=True)
    _state.fired = _state.pending = False
    waiter.start()
    try:
        yield
    finally:
        stop.set()
        signal.pthread_kill(waiter.ident, _WAKE)
        waiter.join()
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)
        signal.signal(signal.SIGINT, handler)
