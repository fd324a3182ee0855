"""Server events: subscriptions, handlers, and the pump for what arrives between calls."""

from __future__ import annotations

import collections
import time
from typing import Any, Callable, Deque, Iterable, Iterator, Optional, Union

from . import _library as lib
from ._base import HandleOwner
from ._values import Text, text

#: An event handler: takes the event's name and parameters.
EventFunction = Callable[[bytes, bytes], Any]


class Events(HandleOwner):
    """The event methods of a Connection."""

    _handlers: dict[bytes, list[EventFunction]]
    _received: Optional[Deque[tuple[bytes, bytes]]]

    def subscribe(self, name: Text, acknowledged: bool = True) -> None:
        """Subscribes to the server event `name`. With `acknowledged` the server sends the next
        event only once this one has been handled."""
        data = text(name)
        self._call(self._lib.QDOSubscribeEvent, self._live(), data, len(data), int(acknowledged))

    def unsubscribe(self, name: Text) -> None:
        data = text(name)
        self._call(self._lib.QDOUnsubscribeEvent, self._live(), data, len(data))

    def on_event(self, name: Text, handler: EventFunction) -> None:
        """Subscribes to `name` and calls handler(name, params) for each of its events: during
        a call of this connection, or between calls from process_events."""
        key = text(name)
        if key not in self._handlers:
            self.subscribe(key)
            self._handlers[key] = []
        self._handlers[key].append(handler)

    def off_event(self, name: Text) -> None:
        """Removes the handlers of `name` and unsubscribes."""
        key = text(name)
        if self._handlers.pop(key, None) is not None:
            self.unsubscribe(key)

    def process_events(self, timeout: Optional[float] = 0.0) -> int:
        """Handles what the server pushed between calls (events, callback requests), waiting up
        to `timeout` seconds for something (None: without limit). Call it on the thread that
        opened the connection. Returns the number of notifications handled."""
        handle = self._live()
        ms = -1 if timeout is None else max(0, int(timeout * 1000))
        self._pending = None
        handled = int(self._lib.QDOProcessMessages(handle, ms))
        self._raise_pending()
        if handled < 0:
            raise self._error()
        return handled

    def events(
        self, names: Union[Text, Iterable[Text]], timeout: Optional[float] = None
    ) -> Iterator[tuple[bytes, bytes]]:
        """Subscribes to `names` and yields (name, params) for each of their events, until no
        event has come for `timeout` seconds (None: for ever) or the loop ends; then
        unsubscribes."""
        if isinstance(names, (bytes, bytearray, memoryview, str)):
            keys = [text(names)]
        else:
            keys = [text(name) for name in names]
        for key in keys:
            self.subscribe(key)
        received: Deque[tuple[bytes, bytes]] = collections.deque()
        outer, self._received = self._received, received
        try:
            while True:
                deadline = None if timeout is None else time.monotonic() + timeout
                while not received:
                    left = None if deadline is None else deadline - time.monotonic()
                    if left is not None and left <= 0:
                        return
                    self.process_events(0.5 if left is None else min(left, 0.5))
                while received:
                    yield received.popleft()
        finally:
            self._received = outer
            for key in keys:
                if key not in self._handlers and self._handle:
                    self.unsubscribe(key)

    def fileno(self) -> int:
        """A descriptor that becomes readable when process_events has something to do (for
        select, selectors, asyncio's add_reader); do not read from or close it."""
        return int(self._lib.QDONotificationDescriptor(self._live()))

    def _on_event(
        self, _handle: Any, _context: Any, name: Any, name_length: int, params: Any, length: int
    ) -> None:
        try:
            key, value = lib.lent(name, name_length), lib.lent(params, length)
            if self._received is not None:
                self._received.append((key, value))
            for handler in list(self._handlers.get(key, ())):
                handler(key, value)
        except BaseException as error:
            if self._pending is None:
                self._pending = error
