"""What SQL text can carry: the card, the table's name and the column names, refused in one line where an
engine could not hold or tell them apart."""

from __future__ import annotations

from collections.abc import Iterable, Sequence
from typing import NoReturn, cast

from .._card import Card, output_columns
from .._checks import check_ids
from .._errors import InputError, reason


def fail(message: str) -> NoReturn:
    raise InputError(message)


def no_nul(value: str, what: str) -> str:
    if "\x00" in value:
        fail(f"{what} {value[:80]!r} holds a NUL character, which SQL text cannot carry; rename it")
    return value


def checked_card(card: object) -> Card:
    """The card with the checks of a loaded one: a card made or changed in Python passes them too."""
    if not isinstance(card, Card):
        fail(f"to_sql takes a Card (Card.load(path) or a fitted Scorecard's card_), not {type(card).__name__}")
    try:
        data = card.to_dict()
    except (TypeError, ValueError) as e:
        fail(f"the card holds a value that is not plain JSON ({reason(e)}); rebuild it with 'tessaly build'")
    return Card.from_dict(data)


def table_parts(table: str | Sequence[str]) -> list[str]:
    """A table name, its parts (schema, table) split at the dots, or a sequence of parts as they are."""
    parts = table.split(".") if isinstance(table, str) else list(table) if isinstance(table, (list, tuple)) else [None]
    if not all(isinstance(t, str) for t in parts):
        fail(f"the table name must be text, not {table!r}")
    parts = cast(list[str], parts)
    if not parts or not all(parts):
        fail(f"table name {'.'.join(parts)!r} has an empty part: name it as table or schema.table")
    return [no_nul(t, "table name") for t in parts]


def id_columns(ids: object, names: Iterable[str]) -> list[str]:
    # Anything a caller passes is checked here: one name, or an iterable of names.
    try:
        given = [ids] if isinstance(ids, str) else list(cast(Iterable, ids))
    except TypeError:
        given = [ids]
    for i in given:
        if not isinstance(i, str) or not i:
            fail(f"an id column name must be non-empty text, not {i!r}")
        no_nul(i, "id column")
    return check_ids(given, output_columns(names))
