"""Failures that the command line reports in one line, without a traceback."""


class InputError(Exception):
    """The user's input or options cannot be used; the message says why."""
