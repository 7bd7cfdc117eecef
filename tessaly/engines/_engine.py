"""The engines a build can run its heavy passes in: what each needs to open the data, name it in SQL and answer
a query with a small frame. The passes themselves are one SQL text for both (`_passes`)."""

from __future__ import annotations

import contextlib
import glob
import os
import shutil
import tempfile
import uuid
from pathlib import Path

from .._checks import check_header
from .._errors import InputError, reason

# The extra that installs each engine's package.
EXTRAS = {"duckdb": "duckdb", "spark": "spark"}
# DuckDB runs inside the driver: beyond this it spills to its temporary folder rather than grow.
DUCKDB_MEMORY = "1GB"
PARQUET = (".parquet", ".pq")
# Spark's quantile sketches err by about 1/accuracy of the rows: well inside a fine class.
QUANTILE_ACCURACY = 2000


def _need(module: str, engine: str):
    import importlib

    try:
        return importlib.import_module(module)
    except ModuleNotFoundError:
        raise InputError(
            f"--engine {engine} needs the package {module}: pip install 'tessaly[{EXTRAS[engine]}]'"
        ) from None


def _kind(type_name: str) -> str:
    """How the build reads a column of this SQL type: numerical, categorical, dates, durations, or other."""
    t = type_name.lower()
    if t.startswith(
        (
            "decimal",
            "tinyint",
            "smallint",
            "int",
            "bigint",
            "hugeint",
            "ubigint",
            "uinteger",
            "usmallint",
            "utinyint",
            "uhugeint",
            "float",
            "double",
            "real",
            "long",
            "short",
            "byte",
        )
    ):
        return "numerical"
    if t.startswith(("varchar", "string", "char", "text", "boolean", "enum")):
        return "categorical"
    if t.startswith(("date", "timestamp", "time")):
        return "dates"
    if t.startswith("interval"):
        return "durations"
    return "other"


class Engine:
    """One open connection with the applicants registered under `self.source`; views made for the passes are
    dropped by `close`, whatever happened."""

    dialect = ""
    text_type = "VARCHAR"

    def __init__(self):
        self.source = ""
        self._views: list[str] = []

    @property
    def d(self):
        """The SQL dialect of the export, whose quoting and literals the passes share."""
        return _dialect(self.dialect)

    def hash(self, exprs: list[str]) -> str:
        """A whole number in [0, 1e6) from the values of `exprs`, the same for the same values."""
        raise NotImplementedError

    def row_hash(self, columns: list[tuple[str, str]], salt: str) -> str:
        """A whole number in [0, 1e6) from a row's values in `columns` (name, SQL type) and `salt`: the same in
        every engine, so a table puts the same rows in the test part wherever it is built."""
        d = self.d
        keys = [d.text(salt), *(f"COALESCE({self._as_key(d.ident(n), t)}, 'NULL')" for n, t in columns)]
        digest = f"substr(md5(concat_ws('|', {', '.join(keys)})), 1, 8)"
        return f"({self._hex(digest)} % 1000000)"

    def _as_key(self, x: str, type_name: str) -> str:
        """The value as text that reads alike in every engine. Engines print floating-point numbers each their own
        way: a float is its whole part and the leading 52 bits of its fraction, both exact in IEEE arithmetic."""
        text = self.text_type
        if not type_name.lower().startswith(("double", "float", "real")):
            return f"CAST({x} AS {text})"
        v = f"CAST({x} AS DOUBLE)"
        whole = f"floor({v})"
        fraction = f"floor(({v} - {whole}) * 4.503599627370496E15)"
        return (
            f"CASE WHEN abs({v}) < 9.0E18 THEN concat(CAST(CAST({whole} AS BIGINT) AS {text}), ':', "
            f"CAST(CAST({fraction} AS BIGINT) AS {text})) WHEN {v} IS NOT NULL THEN 'other' END"
        )

    def _hex(self, digits: str) -> str:
        raise NotImplementedError

    def quantiles(self, x: str, qs: list[float]) -> str:
        raise NotImplementedError

    def query(self, sql: str):
        """The result as a pandas frame (the passes return small ones)."""
        raise NotImplementedError

    def columns(self) -> list[tuple[str, str]]:
        raise NotImplementedError

    def view(self, prefix: str, sql: str) -> str:
        name = f"tessaly_{prefix}_{uuid.uuid4().hex[:12]}"
        self._create_view(name, sql)
        self._views.append(name)
        return name

    def _create_view(self, name: str, sql: str) -> None:
        raise NotImplementedError

    def close(self) -> None:
        raise NotImplementedError


class DuckDBEngine(Engine):
    dialect = "duckdb"

    def __init__(self, data, table=None):
        super().__init__()
        duckdb = _need("duckdb", "duckdb")
        # DuckDB spills here; removed with the connection, so an interrupted build leaves nothing behind.
        self._tmp = tempfile.mkdtemp(prefix="tessaly-duckdb-")
        try:
            if table is not None:
                if not Path(data).is_file():
                    raise InputError(f"no DuckDB database at '{data}': with --table, DATA is the database file")
                try:
                    self.con = duckdb.connect(str(data), read_only=True)
                except duckdb.Error as e:
                    raise InputError(f"cannot open the DuckDB database '{data}': {reason(e)}") from None
            else:
                self.con = duckdb.connect()
            self.con.execute(f"SET temp_directory = '{self._tmp}'")
            self.con.execute(f"SET memory_limit = '{DUCKDB_MEMORY}'")
            self.con.execute("SET preserve_insertion_order = false")
            self.con.execute("SET enable_progress_bar = false")  # the command prints its own progress
            self.source = self._register(data, table, duckdb)
        except BaseException:
            self.close()
            raise

    def _register(self, data, table, duckdb) -> str:
        d = _dialect(self.dialect)
        if table is not None:
            name = ".".join(d.ident(p) for p in table.split("."))
            try:
                self.con.execute(f"SELECT * FROM {name} LIMIT 0")
            except duckdb.Error:
                raise InputError(f"no table '{table}' in the database '{data}': check --table") from None
            return name
        path = str(data)
        if Path(path).is_dir():
            path = str(Path(path) / "**" / "*.parquet")
        reader = "read_csv" if Path(path).suffix.lower() == ".csv" else "read_parquet"
        try:
            self.con.execute(f"CREATE TEMP VIEW tessaly_data AS SELECT * FROM {reader}({d.text(path)})")
        except duckdb.Error as e:
            raise InputError(f"cannot read '{data}': {reason(e)}") from None
        return "tessaly_data"

    def hash(self, exprs):
        return f"(hash({', '.join(exprs)}) % 1000000)"

    def _hex(self, digits):
        return f"CAST(concat('0x', {digits}) AS BIGINT)"

    def quantiles(self, x, qs):
        return f"approx_quantile({x}, [{', '.join(repr(q) for q in qs)}])"

    def query(self, sql):
        return self.con.execute(sql).df()

    def columns(self):
        return [(r[0], r[1]) for r in self.con.execute(f"DESCRIBE SELECT * FROM {self.source}").fetchall()]

    def _create_view(self, name, sql):
        self.con.execute(f"CREATE TEMP VIEW {name} AS {sql}")

    def close(self):
        con = getattr(self, "con", None)
        if con is not None:
            with contextlib.suppress(Exception):
                con.close()
        shutil.rmtree(self._tmp, ignore_errors=True)


class SparkEngine(Engine):
    dialect = "spark"
    text_type = "STRING"

    def __init__(self, data, table=None, session=None):
        super().__init__()
        _need("pyspark", "spark")
        from pyspark.sql import SparkSession

        self._own = session is None and SparkSession.getActiveSession() is None
        self.spark = session or SparkSession.getActiveSession() or _session()
        try:
            self.source = self._register(data, table)
        except BaseException:
            self.close()
            raise

    def _register(self, data, table) -> str:
        from pyspark.errors import AnalysisException

        try:
            if table is not None:
                name = table if "." in table or not data else f"{data}.{table}"
                frame = self.spark.table(name)
            elif Path(str(data)).suffix.lower() == ".csv":
                frame = self.spark.read.csv(str(data), header=True, inferSchema=True)
            else:
                frame = self.spark.read.parquet(str(data))
        except AnalysisException as e:
            if table is not None:
                raise InputError(f"no table '{table}' in Spark's catalog (database '{data}'): check --table") from None
            raise InputError(f"cannot read '{data}': {reason(e)}") from None
        name = f"tessaly_data_{uuid.uuid4().hex[:12]}"
        frame.createOrReplaceTempView(name)
        self._views.append(name)
        return name

    def hash(self, exprs):
        return f"pmod(xxhash64({', '.join(exprs)}), 1000000)"

    def _hex(self, digits):
        return f"CAST(conv({digits}, 16, 10) AS BIGINT)"

    def quantiles(self, x, qs):
        return f"percentile_approx({x}, array({', '.join(repr(q) for q in qs)}), {QUANTILE_ACCURACY})"

    def query(self, sql):
        return self.spark.sql(sql).toArrow().to_pandas()

    def columns(self):
        return [(f.name, f.dataType.simpleString()) for f in self.spark.table(self.source).schema.fields]

    def _create_view(self, name, sql):
        self.spark.sql(sql).createOrReplaceTempView(name)

    def close(self):
        for name in self._views:
            with contextlib.suppress(Exception):
                self.spark.catalog.dropTempView(name)
        if self._own:
            with contextlib.suppress(Exception):
                self.spark.stop()


def _session():
    """A session of our own: the one spark-submit or PYSPARK_SUBMIT_ARGS configures, or local mode on every core."""
    from pyspark.sql import SparkSession

    builder = SparkSession.builder.appName("tessaly build").config("spark.ui.showConsoleProgress", "false")
    if "--master" not in os.environ.get("PYSPARK_SUBMIT_ARGS", ""):
        builder = builder.master(os.environ.get("TESSALY_SPARK_MASTER", "local[*]"))
    session = builder.getOrCreate()
    # Spark logs a failed code generation (a long query) as an error and then runs the query interpreted.
    session.sparkContext.setLogLevel("FATAL")
    return session


def _dialect(name: str):
    from ..sql.dialects import dialect

    return dialect(name)


def open_engine(engine: str, data, table=None, session=None) -> Engine:
    if engine == "duckdb":
        return DuckDBEngine(data, table)
    if engine == "spark":
        return SparkEngine(data, table, session)
    raise InputError(f"unknown --engine {engine!r}: choose duckdb or spark")


def check_data(data, table) -> None:
    """DATA as the engines read it: a CSV or Parquet file, a folder or glob of Parquet files, or with --table
    the database that holds the table. Every file's column names are checked as in memory, and a folder's files
    must agree on them: an engine would rename, drop or cast a column in silence."""
    if table is not None:
        return
    text = str(data)
    if any(c in text for c in "*?["):
        _check_columns(sorted(glob.glob(text, recursive=True)))
        return
    path = Path(text)
    if not path.exists():
        raise InputError(f"no file or folder '{data}'")
    if path.is_file() and path.suffix.lower() not in (*PARQUET, ".csv"):
        raise InputError(f"'{data}' is neither CSV nor Parquet: give a .csv or .parquet file or a folder of them")
    _check_columns([str(path)] if path.is_file() else sorted(str(p) for p in path.rglob("*.parquet")))


def _check_columns(files: list[str]) -> None:
    first = None
    for file in files:
        columns = _columns_in(file)
        by_case: dict[str, str] = {}
        for name in columns:
            other = by_case.setdefault(name.lower(), name)
            if other != name:
                # SQL names match whatever their case: the engine would read one column for both.
                raise InputError(
                    f"'{file}' has columns '{other}' and '{name}', which SQL does not tell apart: rename one"
                )
        if first is None:
            first = file, columns
            continue
        _same_columns(first, file, columns)


def _same_columns(first, file, columns) -> None:
    first_file, expected = first
    for name, kind in expected.items():
        if name not in columns:
            raise InputError(f"'{file}' has no column '{name}', which '{first_file}' has: give files of one schema")
        if columns[name] != kind:
            raise InputError(
                f"'{file}' holds {columns[name]} in column '{name}', '{first_file}' {kind}: give files of one schema"
            )
    extra = next(name for name in columns if name not in expected) if len(columns) > len(expected) else None
    if extra is not None:
        raise InputError(f"'{file}' has a column '{extra}' that '{first_file}' has not: give files of one schema")


def _columns_in(file: str) -> dict[str, str]:
    """The file's column names as it gives them, each with what it holds (a Parquet file's: numbers, text...);
    a CSV file's header only."""
    if Path(file).suffix.lower() == ".csv":
        import csv

        with open(file, newline="", encoding="utf-8", errors="replace") as f:
            header = next(csv.reader(f), [])
        check_header(header, file)  # a dict would hide a repeated name
        return dict.fromkeys(header, "")
    import pyarrow as pa
    import pyarrow.parquet as pq

    try:
        schema = pq.read_schema(file)
    except (OSError, pa.ArrowException) as e:
        raise InputError(f"cannot read '{file}': {reason(e)}") from None
    check_header(schema.names, file)
    return {f.name: _holds(f.type) for f in schema}


def _holds(t) -> str:
    import pyarrow as pa

    if pa.types.is_dictionary(t):
        t = t.value_type
    if pa.types.is_integer(t) or pa.types.is_floating(t) or pa.types.is_decimal(t):
        return "numbers"
    if pa.types.is_string(t) or pa.types.is_large_string(t):
        return "text"
    return str(t)
