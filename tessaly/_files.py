"""Writing outputs so that no run can lose or tear a file.

Every output is written under a name unique to the run, next to its target, and moved into place
only when whole; a directory of outputs is swapped for its successor in one step, and only a
directory that an earlier run marked as its own is ever replaced.
"""

from __future__ import annotations

import contextlib
import ctypes
import errno
import json
import os
import shutil
import tempfile
from pathlib import Path

from ._errors import InputError, reason
from ._signals import critical

MARKER = ".tessaly-card"
# Written into a card directory after the build by `score` (its default output), `document` and `demo`.
DERIVED = ("scores.csv", "scores.parquet", "test_applicants.csv", "test_scores_applied.csv", "model.docx", "model.html")


# ---------------------------------------------------------------------------------------------
# One file


def check_output(out, *, inputs=(), card_dir=None, allowed_in_card=()) -> Path:
    """The path a file output may take, or a one-line reason why not."""
    if out is None or str(out).strip() == "":
        raise InputError("--out is empty: name the file to write")
    try:
        return _check_output(out, inputs, card_dir, allowed_in_card)
    except OSError as e:  # a name too long, a loop of links...
        raise InputError(f"cannot write '{out}': {reason(e)}") from None


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
        # The move into place needs only the folder's permission: a file made read-only says "keep me".
        if not os.stat(out).st_mode & 0o222 or not os.access(out, os.W_OK):
            raise InputError(f"output '{out}' is read-only: make it writable or choose another --out")
    if card_dir is not None:
        card = Path(card_dir).resolve()
        where = parent.resolve() / out.name
        if where == card or card in where.parents:
            if not (where.parent == card and out.name in allowed_in_card):
                raise InputError(f"output '{out}' lies inside the card '{card}': write it elsewhere")
    return out


def _nearest_existing(path: Path) -> Path | None:
    """The closest of `path` and the folders above it that exists: where a new output would be made."""
    return next((folder for folder in (path, *path.parents) if folder.exists()), None)


def _check_parent(parent: Path, out: Path) -> None:
    folder = _nearest_existing(parent)
    if folder is not None and not folder.is_dir():
        raise InputError(f"cannot write '{out}': '{folder}' is a file, not a directory")
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
        fd, name = tempfile.mkstemp(prefix=f".{out.name[:40]}.", suffix=".tmp", dir=out.parent)
    except OSError as e:
        raise InputError(f"cannot write '{out}': {reason(e)}") from None
    os.close(fd)
    tmp = Path(name)
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
        raise InputError(f"cannot write '{out}': {reason(e)}") from None
    except BaseException:
        tmp.unlink(missing_ok=True)
        raise


# ---------------------------------------------------------------------------------------------
# A directory of outputs, marked as a build's own


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
    """Mark a staged directory as the build's own, listing what it holds."""
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
        raise InputError(f"cannot write the card to '{out}': {reason(e)}") from None


def _check_card_out(out) -> Path:
    out = Path(os.path.abspath(out))
    if out.is_symlink():
        # The card is where the link points; replacing the link would leave that card behind.
        out = Path(os.path.realpath(out))
    if out.exists() and not out.is_dir():
        raise InputError(f"output '{out}' is a file, not a directory")
    folder = _nearest_existing(out.parent)
    if folder is not None and not folder.is_dir():
        raise InputError(f"output '{out}' is inside '{folder}', which is a file")
    if folder is not None and not os.access(folder, os.W_OK | os.X_OK):
        raise InputError(f"cannot create '{out}': '{folder}' is not writable")
    if out.is_dir():
        _check_replaceable(out)
    return out


def _check_replaceable(out: Path) -> None:
    try:
        present = set(os.listdir(out))
    except OSError as e:
        raise InputError(f"cannot read '{out}': {reason(e)}") from None
    if not present:
        return
    owned = _marker_entries(out)
    if owned is None:
        raise InputError(f"'{out}' is not empty and is no card of an earlier build: choose a new or empty --out")
    foreign = sorted(present - owned - set(DERIVED))
    if foreign:
        raise InputError(
            f"'{out}' holds '{foreign[0][:80]}', which no build wrote: move it away or choose another --out"
        )
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
    """Put the staged directory at `out`; at every instant `out` or a hidden sibling holds a whole one."""
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
        _remove(stage)  # now the earlier card
        return
    old = Path(tempfile.mkdtemp(prefix=f".{out.name[:40]}.", suffix=".old", dir=out.parent))
    os.rmdir(old)
    os.rename(out, old)
    os.rename(stage, out)
    _fsync_dir(out.parent)
    _remove(old)


def _remove(path: Path) -> None:
    """A directory with what it holds, or a link that took its place (rmtree refuses links)."""
    if path.is_symlink():
        with contextlib.suppress(OSError):
            path.unlink()
    else:
        shutil.rmtree(path, ignore_errors=True)


@contextlib.contextmanager
def staged_card(out, check=None):
    """A fresh sibling directory to build the card in, swapped onto `out` when the block completes and
    `check(stage)` (reading the staged card back) raises nothing: a card that does not load never moves in."""
    out = check_card_out(out)
    try:
        out.parent.mkdir(parents=True, exist_ok=True)
        stage = Path(tempfile.mkdtemp(prefix=f".{out.name[:40]}.", suffix=".stage", dir=out.parent))
        os.chmod(stage, 0o777 & ~_umask())  # mkdtemp's 0700 would hide the card from its readers
    except OSError as e:
        raise InputError(f"cannot create '{out}': {reason(e)}") from None
    try:
        yield stage
        if check is not None:
            check(stage)
        write_marker(stage)
        with critical():
            # Anything may have appeared at `out` while the build ran.
            _check_replaceable(out) if out.is_dir() else check_card_out(out)
            _install(stage, out)
    except OSError as e:
        shutil.rmtree(stage, ignore_errors=True)
        raise InputError(f"cannot write the card to '{out}': {reason(e)}") from None
    except BaseException:
        shutil.rmtree(stage, ignore_errors=True)
        raise
