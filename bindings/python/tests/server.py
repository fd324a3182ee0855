"""qdo-server for the tests: a fresh data directory, a free port, and a clean stop.

The program is found through the environment variable QDO_SERVER_PROGRAM. The server leads a
process group of its own, and each of its jobs leads one of its own, so that stop() can signal
them all; its log goes to server.log beside the data directory.
"""

from __future__ import annotations

import os
import select
import shutil
import signal
import subprocess
import tempfile
import time
from typing import Optional


def _environment() -> dict[str, str]:
    """This process's environment without a preloaded library: a sanitizer's runtime that a
    sanitized libqdo.so needs preloaded into Python would clash with the one a sanitized
    qdo-server carries itself."""
    environment = dict(os.environ)
    environment.pop("LD_PRELOAD", None)
    return environment


def program() -> str:
    path = os.environ.get("QDO_SERVER_PROGRAM")
    if not path:
        raise RuntimeError("set QDO_SERVER_PROGRAM to the path of qdo-server")
    return path


def run(arguments: list[str], input: bytes = b"") -> "subprocess.CompletedProcess[bytes]":
    """Runs qdo-server with `arguments` to its end, `input` on its standard input; fails unless
    it succeeds."""
    return subprocess.run(
        [program()] + arguments, input=input, capture_output=True, check=True,
        env=_environment(),
    )


class ServerProcess:
    """`qdo-server init` on a new data directory, then `qdo-server run` on 127.0.0.1:0."""

    def __init__(self, options: Optional[list[str]] = None):
        self.folder = tempfile.mkdtemp(prefix="qdo-python-test-")
        self.data = os.path.join(self.folder, "data")
        self.log_path = os.path.join(self.folder, "server.log")
        self.process: Optional[subprocess.Popen[bytes]] = None
        with open(self.log_path, "ab") as log:
            status = subprocess.call(
                [program(), "init", "--data", self.data],
                stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                env=_environment(),
            )
        if status != 0:
            written = self.log()
            shutil.rmtree(self.folder, ignore_errors=True)
            raise RuntimeError("qdo-server init failed:\n" + written)
        arguments = [program(), "run", "--data", self.data, "--listen", "127.0.0.1:0"]
        if os.geteuid() == 0:
            arguments.append("--allow-root")  # tests run as root on CI machines
        arguments += options or []
        with open(self.log_path, "ab") as log:
            self.process = subprocess.Popen(
                arguments, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=log,
                start_new_session=True, env=_environment(),
            )
        # The first line says where it listens: "listening on HOST:PORT".
        line = b""
        assert self.process.stdout is not None
        end = time.monotonic() + 300
        while not line.endswith(b"\n") and time.monotonic() < end:
            ready, _, _ = select.select([self.process.stdout], [], [], 1.0)
            if ready:
                byte = os.read(self.process.stdout.fileno(), 1)
                if not byte:
                    break
                line += byte
        self.process.stdout.close()
        text = line.decode(errors="replace").strip()
        if not text.startswith("listening on ") or ":" not in text:
            self.stop(signal.SIGKILL)
            written = self.log()
            shutil.rmtree(self.folder, ignore_errors=True)
            raise RuntimeError("qdo-server did not start:\n" + written)
        self.host, port = text[len("listening on "):].rsplit(":", 1)
        self.port = int(port)

    def jobs(self) -> list[int]:
        if self.process is None:
            return []
        pid = self.process.pid
        try:
            with open("/proc/%d/task/%d/children" % (pid, pid)) as children:
                return [int(p) for p in children.read().split()]
        except OSError:
            return []

    def stop(self, sig: int = signal.SIGTERM) -> None:
        if self.process is None:
            return
        process, self.process = self.process, None
        jobs = []
        try:
            pid = process.pid
            with open("/proc/%d/task/%d/children" % (pid, pid)) as children:
                jobs = [int(p) for p in children.read().split()]
        except OSError:
            pass
        for group in [process.pid] + jobs:
            try:
                os.killpg(group, sig)
            except OSError:
                pass
        process.wait()
        # The jobs are not this process's children: wait until they are gone.
        end = time.monotonic() + 10
        while time.monotonic() < end and any(_alive(job) for job in jobs):
            time.sleep(0.01)

    def log(self) -> str:
        try:
            with open(self.log_path, errors="replace") as log:
                return log.read()
        except OSError:
            return ""

    def close(self) -> None:
        self.stop()
        shutil.rmtree(self.folder, ignore_errors=True)


def _alive(pid: int) -> bool:
    try:
        with open("/proc/%d/stat" % pid) as stat:
            return stat.read().split(")")[-1].split()[0] != "Z"
    except OSError:
        return False
