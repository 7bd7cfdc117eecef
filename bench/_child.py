"""Runs commands for a benchmark and reports each one's wall time and peak RSS.

Linux keeps a process's ru_maxrss across fork and exec, so a child started by a benchmark that holds a
million applicants would report the benchmark's own memory. This launcher is started first, while the
benchmark is still small, and starts the children itself: their ru_maxrss is their own peak (at least this
launcher's few MiB). Standard library only; one JSON request per line in, one JSON answer per line out.
"""

import json
import os
import subprocess
import sys
import time


class Launcher:
    def __init__(self):
        self.process = subprocess.Popen(
            [sys.executable, "-S", os.path.abspath(__file__)], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True
        )

    def run(self, argv, env=None) -> dict:
        """{"code", "seconds", "peak_mib", "stdout", "stderr"} of one command."""
        self.process.stdin.write(json.dumps({"argv": argv, "env": env}) + "\n")
        self.process.stdin.flush()
        return json.loads(self.process.stdout.readline())

    def close(self):
        self.process.stdin.close()
        self.process.wait()


def serve():
    import tempfile

    for line in sys.stdin:
        request = json.loads(line)
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            start = time.perf_counter()
            child = subprocess.Popen(request["argv"], env=request["env"], stdout=out, stderr=err)
            _, status, usage = os.wait4(child.pid, 0)
            seconds = time.perf_counter() - start
            child.returncode = os.waitstatus_to_exitcode(status)  # reaped here, not by Popen
            out.seek(0)
            err.seek(0)
            answer = {
                "code": child.returncode,
                "seconds": seconds,
                "peak_mib": usage.ru_maxrss / 1024,
                "stdout": out.read().decode(errors="replace")[-2000:],
                "stderr": err.read().decode(errors="replace")[-2000:],
            }
        sys.stdout.write(json.dumps(answer) + "\n")
        sys.stdout.flush()


if __name__ == "__main__":
    serve()
