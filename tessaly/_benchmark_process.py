"""Work run in a child process beside the build: the benchmark's trees, SHAP values and cards.

A thread would share the interpreter's lock with the card's own training, and each round of the trees waits its turn
for it; a process has a core of its own. It is started before the table is read, so its imports are done by the
time the bins are chosen, and it is killed whenever the build ends, however it ends. Its temporary files (the
binning tables of the training applicants, among others) go in a folder the parent makes and removes: a process
killed mid-call cleans up nothing of its own.
"""

from __future__ import annotations

import importlib
import shutil
import signal
import tempfile
import threading


def _told(e: BaseException) -> str:
    return " ".join(f"{type(e).__name__}: {e}".split())


def _serve(conn, modules, tmp) -> None:
    # Ctrl-C reaches the whole process group; the parent decides, and kills this process.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    tempfile.tempdir = tmp
    broken = None
    try:
        for name in modules:
            importlib.import_module(name)
    except BaseException as e:  # every call is answered with it: the parent tells it in one line
        broken = _told(e)
    while True:
        try:
            fn, args, kwargs = conn.recv()
        except (EOFError, OSError):  # the parent is gone
            return
        except BaseException as e:  # a call whose parts cannot be rebuilt here
            answer = ("failed", _told(e))
        else:
            try:
                answer = ("failed", broken) if broken else ("done", fn(*args, **kwargs))
            except BaseException as e:  # told to the parent, which keeps the build going without it
                answer = ("failed", _told(e))
        try:
            conn.send(answer)
        except (BrokenPipeError, OSError):
            return


class Beside:
    """One child process that runs one call at a time: submit(), then result(); close() ends it."""

    def __init__(self, modules=()):
        import multiprocessing

        context = multiprocessing.get_context("spawn")  # no fork of a process with threads and native pools
        self._conn, child = context.Pipe()
        self.tmp = tempfile.mkdtemp(prefix="tessaly-beside-")
        self._process = context.Process(target=_serve, args=(child, tuple(modules), self.tmp), daemon=True)
        # Starting it unblocks SIGINT and SIGTERM in this thread, where the build keeps them blocked for its own
        # handling of interrupts: the mask is put back as it was.
        mask = signal.pthread_sigmask(signal.SIG_BLOCK, [])
        try:
            self._process.start()
        except BaseException:
            shutil.rmtree(self.tmp, ignore_errors=True)
            raise
        finally:
            signal.pthread_sigmask(signal.SIG_SETMASK, mask)
        child.close()

    def submit(self, fn, *args, **kwargs) -> None:
        # The child may still be importing: a large call would fill the pipe and stall the build, so it is sent
        # from a thread of its own.
        threading.Thread(target=self._send, args=((fn, args, kwargs),), daemon=True).start()

    def _send(self, call) -> None:
        try:
            self._conn.send(call)
        except (OSError, ValueError):  # the process ended (or was ended): result() says so
            pass

    def result(self):
        """The call's value; RuntimeError if it failed or the process ended. Waits in short steps, so an
        interrupt is taken at once."""
        while not self._conn.poll(0.1):
            if not self._process.is_alive():
                raise self._ended()
        try:
            kind, value = self._conn.recv()
        except (EOFError, OSError):  # the process died between poll and recv, or mid-answer
            raise self._ended() from None
        if kind == "failed":
            raise RuntimeError(value)
        return value

    def _ended(self) -> RuntimeError:
        self._process.join(5)
        return RuntimeError(f"its process ended with exit code {self._process.exitcode}")

    def close(self) -> None:
        try:
            self._process.kill()
            self._process.join()
            self._conn.close()
        finally:
            shutil.rmtree(self.tmp, ignore_errors=True)
