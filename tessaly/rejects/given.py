"""The rejects as a build is given them: a table of their own (`--rejects`) or the rows of the applicants'
table a column marks (`--rejected`), with the outcomes some of them have after all (`--reject-outcome`)."""

from __future__ import annotations

import pandas as pd

from .._errors import InputError


class Given:
    def __init__(self, path=None, column: str | None = None, outcome: str | None = None, *, flags, split=(0.3, None)):
        """`flags(values, column, option)`: where a column of true/false values is true; `split`: the build's
        test size and test column."""
        if (path is None) == (column is None):
            raise InputError("give the rejects either as a table (--rejects) or as rows of the data (--rejected)")
        self.path, self.column, self.outcome = path, column, outcome
        self.table: pd.DataFrame | None = None
        self.weight: str | None = None
        self.notes: list[str] = []
        self.flags, (self.test_size, self.test_column) = flags, split

    @property
    def columns(self) -> tuple:
        """Columns of the applicants' table that are no predictors."""
        return tuple(c for c in (self.column, self.outcome) if c is not None)

    def split(self, data: pd.DataFrame, target: str, weight: str | None) -> pd.DataFrame:
        """The accepted applicants; the rejects kept for the fit."""
        self.weight = weight
        if self.column is None:
            from .._tables import read_table

            self.table = read_table(self.path) if not isinstance(self.path, pd.DataFrame) else self.path
            self._outcome_column(target, "the rejects table")
            return data
        if self.column not in data.columns or self.column == target:
            raise InputError(
                f"--rejected '{self.column}' is {'the target' if self.column == target else 'not in the table'}"
            )
        flags = self.flags(data[self.column], self.column, "--rejected")
        if flags.all():
            raise InputError(f"--rejected '{self.column}' marks every applicant as rejected: no one has an outcome")
        self.table = data[flags].reset_index(drop=True)
        self._outcome_column(target, "the rejected rows")
        return data[~flags].reset_index(drop=True)

    def _read(self) -> pd.DataFrame:
        """The rejects that `split` set apart."""
        if self.table is None:
            raise AssertionError("split() reads the rejects first")
        return self.table

    def _outcome_column(self, target: str, where: str) -> None:
        t = self._read()
        if self.outcome is not None and self.outcome not in t.columns:
            raise InputError(f"--reject-outcome '{self.outcome}' is not a column of {where}")
        if target in t.columns and target != self.outcome and t[target].notna().any():
            self.notes.append(
                f"The outcome column '{target}' of {where} was ignored: a reject's outcome enters only "
                "through the inference (name a column of known outcomes with --reject-outcome)."
            )

    def for_fit(self, seed: int) -> tuple:
        """(rejects, their weights, their known outcomes) as `Scorecard.fit` takes them: those of the training
        part, a seeded share as large as the accepts' (or where the test column is false), so that development
        sees accepts and rejects in the proportions they came through the door."""
        import numpy as np

        t, test_size, test_column = self._read(), self.test_size, self.test_column
        if test_column is not None and test_column in t.columns:
            t = t[~self.flags(t[test_column], test_column, "--test-column")]
        elif test_column is None:
            keep = np.random.default_rng(seed).random(len(t)) >= test_size
            t = t[keep]
        if len(t) == 0:
            raise InputError("no rejected applicant falls into the training part: give more rejects")
        if len(t) < len(self._read()):
            self.notes.append(
                f"{len(t):,} of the {len(self._read()):,} rejects enter development, the training part's share, "
                "so that accepts and rejects keep the proportions they came through the door in."
            )
        t = t.reset_index(drop=True)
        weights = None
        if self.weight is not None and self.weight in t.columns:
            weights = pd.to_numeric(t[self.weight], errors="coerce").to_numpy(dtype=float)
        outcomes = None if self.outcome is None else t[self.outcome].to_numpy(dtype=object)
        return t, weights, outcomes
