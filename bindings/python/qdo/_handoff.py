"""Running a library call on a worker thread while the caller's thread takes or gives its data
piece by piece.

A C function that the library calls cannot suspend itself to let a Python generator or a file
object's read or write return to its caller; a worker thread can. The worker runs the call and
meets the caller's thread at a queue of one place. The caller's side ends the call early by
setting `stop` and draining the queue, and always waits for the worker before it returns, so
that the connection is free for the next call as soon as a stream is closed.
"""

from __future__ import annotations

import queue
import threading
from typing import Any, Callable, Optional

END = object()  # put by the worker when the call has returned


class Handoff:
    """One library call on a worker thread. `run` is called on the worker with this object; it
    returns what the call's end should report (an exception to raise on the caller's side, or
    None)."""

    def __init__(self, run: Callable[["Handoff"], Optional[BaseException]]):
        self.to_caller: "queue.Queue[Any]" = queue.Queue(maxsize=1)
        self.to_worker: "queue.Queue[Any]" = queue.Queue(maxsize=1)
        self.stop = threading.Event()
        self.failure: Optional[BaseException] = None
        self._run = run
        self._worker = threading.Thread(target=self._main, name="qdo-handoff", daemon=True)
        self._worker.start()

    def _main(self) -> None:
        try:
            self.failure = self._run(self)
        except BaseException as error:  # nothing may be lost on the worker
            self.failure = error
        finally:
            self.put_to_caller(END)

    # --- On the worker ---
    def put_to_caller(self, item: Any) -> None:
        """Hands `item` over, waiting while the caller has not taken the one before; items put
        once the caller has stopped are dropped."""
        while True:
            try:
                self.to_caller.put(item, timeout=0.05)
                return
            except queue.Full:
                if self.stop.is_set() and item is not END:
                    return

    def take_from_caller(self) -> Any:
        """The next item the caller gave, or END once it has stopped."""
        while True:
            try:
                return self.to_worker.get(timeout=0.05)
            except queue.Empty:
                if self.stop.is_set():
                    return END

    # --- On the caller ---
    def take(self) -> Any:
        """The worker's next item (END when the call has returned)."""
        return self.to_caller.get()

    def give(self, item: Any) -> bool:
        """Gives `item` to the worker; False when the call has already returned."""
        while self._worker.is_alive():
            try:
                self.to_worker.put(item, timeout=0.05)
                return True
            except queue.Full:
                pass
        return False

    def finish(self) -> Optional[BaseException]:
        """Waits for the call's end, stopping it if it still runs; returns its failure."""
        self.stop.set()
        while self._worker.is_alive():
            try:
                self.to_caller.get(timeout=0.05)
            except queue.Empty:
                pass
        self._worker.join()
        return self.failure
