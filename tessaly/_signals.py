"""Interrupts that end a run cleanly, and the few steps no interrupt may split.

Native libraries may take over SIGINT for their own use and leave it at the default when done
(the solver behind optbinning does), after which Ctrl-C would kill the process before any
cleanup. So both signals are blocked in every thread and one thread waits for them, then
interrupts the main thread: a KeyboardInterrupt that runs the cleanup of whatever was staged.
"""

from __future__ import annotations

import contextlib
import signal
import threading

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


def _interrupt(main: int) -> None:
    """KeyboardInterrupt in the main thread. interrupt_main goes through Python's SIGINT handler and does
    nothing while a library has set another one (the binning's solver and the CSV reader do, for a while); then
    the exception is set on the main thread directly and raised as soon as it runs Python code again."""
    import _thread

    if signal.getsignal(signal.SIGINT) is signal.default_int_handler:
        _thread.interrupt_main()
        return
    import ctypes

    ctypes.pythonapi.PyThreadState_SetAsyncExc(ctypes.c_ulong(main), ctypes.py_object(KeyboardInterrupt))


@contextlib.contextmanager
def interrupts_raise():
    """Ctrl-C and SIGTERM raise KeyboardInterrupt in the main thread, whatever libraries do to the handlers."""
    if threading.current_thread() is not threading.main_thread() or not hasattr(signal, "pthread_sigmask"):
        yield
        return

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
            _interrupt(main)

    main = threading.get_ident()
    waiter = threading.Thread(target=wait, name="tessaly-signals", daemon=True)
    _state.fired = _state.pending = False
    try:
        # Inside the try: a thread that cannot start must still give back the mask and the handler.
        waiter.start()
        yield
    finally:
        stop.set()
        if waiter.ident is not None:
            signal.pthread_kill(waiter.ident, _WAKE)
            waiter.join()
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)
        signal.signal(signal.SIGINT, handler)
