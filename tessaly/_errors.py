"""Failures that the command line reports in one line, without a traceback."""


class InputError(ValueError):
    """The user's input or options cannot be used; the message says why (a ValueError, as scikit-learn expects)."""


def reason(e: BaseException) -> str:
    """The first line of what went wrong, with the file it concerns: libraries raise many kinds, each wordy."""
    text = getattr(e, "strerror", None) or str(e).strip()
    text = text.splitlines()[0] if text else type(e).__name__
    filename = getattr(e, "filename", None)
    if filename:
        text += f" ({filename})"
    return text
