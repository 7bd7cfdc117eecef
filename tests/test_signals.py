"""Interrupts: what `interrupts_raise` changes in the process it gives back, whatever happens inside."""

import contextlib
import signal
import threading

import pytest

from tessaly._signals import interrupts_raise


def _process_state():
    return signal.getsignal(signal.SIGINT), signal.pthread_sigmask(signal.SIG_BLOCK, [])


@pytest.mark.parametrize("fault", ["none", "in the block", "no thread"])
def test_the_mask_and_the_handler_are_given_back(fault, monkeypatch):
    before = _process_state()
    if fault == "no thread":

        def refuse(self):
            raise RuntimeError("can't start new thread")

        monkeypatch.setattr(threading.Thread, "start", refuse)
    with pytest.raises(RuntimeError) if fault != "none" else contextlib.nullcontext():
        with interrupts_raise():
            if fault == "in the block":
                raise RuntimeError("failed")
    assert _process_state() == before
