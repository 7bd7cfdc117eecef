"""Tables written whole into CSV or Parquet, the format chosen by the file's suffix.

CSV is for people and their spreadsheets: text that a spreadsheet would run as a formula is
written with a leading quote. Parquet is for programs and keeps every value as it is.
"""

from __future__ import annotations

import contextlib
import re
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from ._errors import InputError
from ._files import atomic_path
from ._tables import NUMBER

_FORMULA = r"^[=+\-@\t\r]"
# RE2's $ is the end of the text, as fullmatch is in Python.
_WHOLE_NUMBER = f"^(?:{NUMBER})$"


def neutral_text(text: str) -> str:
    if re.match(_FORMULA, text) and not re.fullmatch(NUMBER, text):
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
    risky = pc.and_(
        pc.match_substring_regex(array, _FORMULA), pc.invert(pc.match_substring_regex(array, _WHOLE_NUMBER))
    )
    if not pc.any(risky).as_py():
        return array
    quoted = pc.binary_join_element_wise(pa.scalar("'", array.type), array, pa.scalar("", array.type))
    return pc.if_else(risky, quoted, array)


def neutralised(batch):
    """The batch as a spreadsheet may safely open it: text that would run as a formula starts with '."""
    import pyarrow as pa

    return pa.RecordBatch.from_arrays(
        [_neutral_array(c) for c in batch.columns], names=[neutral_text(n) for n in batch.schema.names]
    )


def decode_dictionaries(batch):
    """Dictionary columns as their values: readers get text, not categories."""
    import pyarrow as pa

    if not any(pa.types.is_dictionary(t) for t in batch.schema.types):
        return batch
    return pa.RecordBatch.from_arrays(
        [c.dictionary_decode() if pa.types.is_dictionary(c.type) else c for c in batch.columns],
        names=batch.schema.names,
    )


def _csv_writer(path, schema):
    import pyarrow.csv as pcsv

    return pcsv.CSVWriter(path, schema)


def _parquet_writer(path, schema):
    import pyarrow.parquet as pq

    return pq.ParquetWriter(path, schema)


@dataclass(frozen=True)
class Format:
    """How one file format takes batches: what it makes of a batch first, and its writer."""

    prepare: Callable
    open: Callable


_CSV = Format(lambda batch: decode_dictionaries(neutralised(batch)), _csv_writer)
_PARQUET = Format(decode_dictionaries, _parquet_writer)
FORMATS = {".csv": _CSV, ".parquet": _PARQUET, ".pq": _PARQUET}


def check_format(out: Path) -> Format:
    """The format `out` is written in, by its suffix; anything else is refused."""
    fmt = FORMATS.get(Path(out).suffix.lower())
    if fmt is None:
        raise InputError(f"output '{out}' must end in .csv or .parquet")
    return fmt


class _Writer:
    def __init__(self, tmp: Path, fmt: Format):
        self.tmp, self.format = tmp, fmt
        # pyarrow's writer and schema, made from the first batch.
        self._writer: Any = None
        self._schema: Any = None
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
        ready = self.format.prepare(batch)
        if self._writer is None:
            self._writer = self.format.open(self.tmp, ready.schema)
        self._writer.write_batch(ready)
        self.rows += batch.num_rows

    def close(self) -> None:
        if self._writer is not None:
            self._writer.close()


@contextlib.contextmanager
def table_writer(out: Path):
    """A writer of batches into one Parquet or CSV file (by the suffix), whole or not at all."""
    fmt = check_format(out)
    with atomic_path(out) as tmp:
        writer = _Writer(tmp, fmt)
        try:
            yield writer
        except BaseException:
            with contextlib.suppress(Exception):
                writer.close()
            raise
        writer.close()


def write_frame(frame, out: Path) -> Path:
    """A whole pandas frame to `out` (CSV or Parquet by suffix), atomically."""
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
