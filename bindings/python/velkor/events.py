"""Event pairs from the library's thread, handed to every listener of the session in the order posted."""
from __future__ import annotations

import queue
import threading
import time
from typing import Any, Callable, Iterator, List, NamedTuple, Optional

from .codes import Operation


class Event(NamedTuple):
    """One event pair: a is an Operation, b its result (0 success, 1 failure) or, for ERROR, an error code."""
    a: int
    b: int

    @property
    def is_error(self) -> bool:
        return self.a == Operation.ERROR


class Returned(NamedTuple):
    """An export's result, queued behind the events it posted by the thread that called it."""
    result: int


class SessionClosed(Exception):
    """The session ended while a listener waited."""


_CLOSED = object()


class Listener:
    """One reader of the event stream; it sees every pair delivered while it is registered."""

    def __init__(self, hub: "EventHub") -> None:
        self._hub = hub
        self._items: "queue.SimpleQueue[Any]" = queue.SimpleQueue()

    def __enter__(self) -> "Listener":
        return self

    def __exit__(self, *exc: object) -> None:
        self._hub.remove(self)

    def put(self, item: Any) -> None:
        self._items.put(item)

    def get(self, deadline: Optional[float]) -> Any:
        """The next item; queue.Empty once the monotonic deadline (None: none) has passed."""
        timeout = None if deadline is None else max(0.0, deadline - time.monotonic())
        item = self._items.get(timeout=timeout)
        if item is _CLOSED:
            raise SessionClosed()
        return item


class EventHub:
    """The session's callback target: it runs on the library's thread, so it only queues and never blocks."""

    def __init__(self, on_event: Optional[Callable[[Event], None]]) -> None:
        self.on_event = on_event
        self._lock = threading.Lock()
        self._listeners: List[Listener] = []
        self._delivering = threading.local()

    def listen(self) -> Listener:
        listener = Listener(self)
        with self._lock:
            self._listeners.append(listener)
        return listener

    def remove(self, listener: Listener) -> None:
        with self._lock:
            if listener in self._listeners:
                self._listeners.remove(listener)

    def deliver(self, a: int, b: int) -> None:
        event = Event(Operation(a) if 0 <= a <= Operation.ERROR else a, b)
        with self._lock:
            listeners = list(self._listeners)
        for listener in listeners:
            listener.put(event)
        if self.on_event is not None:
            self._delivering.active = True
            try:
                self.on_event(event)
            finally:
                self._delivering.active = False

    def on_delivery_thread(self) -> bool:
        """True inside on_event, where waiting for an event would stop its delivery."""
        return getattr(self._delivering, "active", False)

    def close(self) -> None:
        with self._lock:
            listeners, self._listeners = self._listeners, []
        for listener in listeners:
            listener.put(_CLOSED)


class EventStream:
    """The raw event pairs, for hosts that drive the library themselves: iterating waits up to timeout seconds
    (None: for ever) for each pair and ends when none came or the session closed. Use it as a context manager,
    or close() it, to stop collecting."""

    def __init__(self, hub: EventHub, timeout: Optional[float]) -> None:
        self._listener = hub.listen()
        self.timeout = timeout

    def __enter__(self) -> "EventStream":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def close(self) -> None:
        self._listener.__exit__()

    def __iter__(self) -> Iterator[Event]:
        return self

    def __next__(self) -> Event:
        deadline = None if self.timeout is None else time.monotonic() + self.timeout
        try:
            item: Event = self._listener.get(deadline)
        except (queue.Empty, SessionClosed):
            raise StopIteration from None
        return item
