"""Faults the tests force, at module level so that a build's child process can find them by name."""


def refuse(*args, **kwargs):
    raise ValueError("the trees refused these rows")
