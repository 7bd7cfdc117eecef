"""Reading applicants' tables, CSV or Parquet, whole (for a build) or batch by batch (for scoring)."""

from __future__ import annotations

import contextlib
from pathlib import Path

from ._checks import check_header
from ._errors import InputError, reason

PARQUET = (".parquet", ".pq")
# pandas' own list, so that build (pandas) and score (pyarrow) agree on what is missing.
NA_TEXT = [
    "",
    "#N/A",
    "#N/A N/A",
    "#NA",
    "-1.#IND",
    "-1.#QNAN",
    "-NaN",
    "-nan",
    "1.#IND",
    "1.#QNAN",
    "<NA>",
    "N/A",
    "NA",
    "NULL",
    "NaN",
    "None",
    "n/a",
    "nan",
    "null",
]
BATCH_ROWS = 1 << 17
# A CSV row must fit in about one block: larger blocks are taken only for a file whose rows need them.
_BLOCKS = (1 << 22, 1 << 26, 1 << 30)
# A decimal number written as text, once any surrounding whitespace is gone: ASCII digits only.
NUMBER = r"[+-]?([0-9]+[.]?[0-9]*|[.][0-9]+)([eE][+-]?[0-9]+)?"


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
        raise InputError(f"cannot read '{path}': {reason(e)}") from None


def _unusable(t) -> bool:
    import pyarrow as pa

    if pa.types.is_dictionary(t):
        return _unusable(t.value_type)
    return (
        pa.types.is_nested(t)
        or pa.types.is_binary(t)
        or pa.types.is_large_binary(t)
        or pa.types.is_fixed_size_binary(t)
        or pa.types.is_binary_view(t)
    )


def _check_types(schema, path, columns) -> None:
    """Structs, lists, maps and bytes: no bin can hold them and no CSV cell can show them."""
    for field in schema:
        if field.name in columns and _unusable(field.type):
            raise InputError(
                f"column {field.name!r} of '{path}' holds {field.type} values, which tessaly cannot "
                "use: drop the column"
            )


def read_table(path, skip=()):
    """The whole table, types inferred by pandas (the build bins what it sees); `skip`: columns the caller
    will not use, read whatever their type."""
    import pandas as pd

    path = Path(path)
    with _reading(path):
        if path.suffix.lower() in PARQUET:
            import pyarrow.parquet as pq

            schema = pq.ParquetFile(path).schema_arrow
            _check_types(schema, path, [n for n in schema.names if n not in skip])
            data = pd.read_parquet(path)
        else:
            data = _read_csv_pandas(path)
    check_header(data.columns, path)
    if data.empty:
        raise InputError(f"'{path}' has no applicants")
    return data


def _read_csv_pandas(path):
    import csv

    import pandas as pd

    # pandas renames a repeated header "x" to "x.1": the header itself says whether names repeat.
    with open(path, newline="", encoding="utf-8", errors="replace") as f:
        check_header(next(csv.reader(f), []), path)
    return pd.read_csv(path)


def _parse_options():
    import pyarrow.csv as pcsv

    # Quoted cells may hold line breaks, as pandas reads them at build time.
    return pcsv.ParseOptions(newlines_in_values=True)


def _open_csv(path, block: int, **options):
    import pyarrow.csv as pcsv

    return pcsv.open_csv(
        path, read_options=pcsv.ReadOptions(block_size=block), parse_options=_parse_options(), **options
    )


def _too_long(e: Exception, block: int) -> bool:
    """Whether a read failed only for a row longer than the block, and a larger block remains."""
    return "straddl" in str(e) and block < _BLOCKS[-1]


def _csv_names(path) -> list[str]:
    import pyarrow as pa

    for block in _BLOCKS:
        try:
            reader = _open_csv(path, block)
        except pa.ArrowInvalid as e:
            if _too_long(e, block):
                continue
            raise
        try:
            return reader.schema.names
        finally:
            reader.close()
    raise AssertionError("the largest block is never too small: its failure is raised above")


def _csv_batches(path, names, wanted):
    """The CSV's batches; where a row outgrows the block, read again with larger blocks past the rows given."""
    import pyarrow as pa
    import pyarrow.csv as pcsv

    convert = pcsv.ConvertOptions(
        column_types={n: pa.string() for n in names},
        include_columns=wanted,
        null_values=NA_TEXT,
        strings_can_be_null=True,
        quoted_strings_can_be_null=True,
    )
    given = 0
    for block in _BLOCKS:
        skip = given
        try:
            for batch in _open_csv(path, block, convert_options=convert):
                if skip >= batch.num_rows:
                    skip -= batch.num_rows
                    continue
                batch, skip = batch.slice(skip), 0
                given += batch.num_rows
                yield batch
            return
        except pa.ArrowInvalid as e:
            if not _too_long(e, block):
                raise


def table_columns(path) -> list[str]:
    path = Path(path)
    with _reading(path):
        if path.suffix.lower() in PARQUET:
            import pyarrow.parquet as pq

            names = pq.ParquetFile(path).schema_arrow.names
        else:
            names = _csv_names(path)
    check_header(names, path)
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
            table = pq.ParquetFile(path, pre_buffer=False)
            _check_types(table.schema_arrow, path, wanted)
            batches = table.iter_batches(batch_size=batch_rows, columns=wanted)
        else:
            batches = _csv_batches(path, names, wanted)
        for batch in batches:
            if batch.num_rows:
                yield batch
    except (OSError, pa.ArrowException, ValueError, UnicodeDecodeError) as e:
        raise InputError(f"cannot read '{path}': {reason(e)}") from None
