"""A bounded, thread-safe pool of connections for multi-threaded programs.

    pool = dovrel.Pool(4, port=8888, user="app", password="...")
    with pool.connection() as conn:
        conn.add("books", {...})

Connections are opened when first needed, at most ``size`` at once; a thread that wants
one while all are out waits (``wait`` seconds, None: as long as it takes). A connection
comes back to the pool when its ``with`` block ends; one that met a connection failure
(OperationalError) or was closed is dropped instead, and a new one is opened when needed.
"""

import contextlib
import threading

from .connection import Connection
from .errors import InterfaceError, OperationalError


class Pool:
    def __init__(self, size, wait=None, **connect_args):
        if size < 1:
            raise InterfaceError("a pool holds at least one connection")
        self.size = size
        self.wait = wait
        self._connect_args = connect_args
        self._idle = []
        self._out = 0
        self._closed = False
        self._available = threading.Condition()

    def acquire(self):
        """A connection of the pool; give it back with release()."""
        with self._available:
            if not self._available.wait_for(
                    lambda: self._closed or self._idle or self._out < self.size, self.wait):
                raise InterfaceError("no connection of the pool came free within %s s"
                                     % self.wait)
            if self._closed:
                raise InterfaceError("the pool is closed")
            self._out += 1
            if self._idle:
                return self._idle.pop()
        try:
            return Connection(**self._connect_args)
        except BaseException:
            with self._available:
                self._out -= 1
                self._available.notify()
            raise

    def release(self, conn, broken=False):
        """Gives a connection back; a broken or closed one is closed and dropped."""
        with self._available:
            self._out -= 1
            keep = not (broken or conn.closed or self._closed)
            if keep:
                self._idle.append(conn)
            self._available.notify()
        if not keep:
            conn.close()

    @contextlib.contextmanager
    def connection(self):
        conn = self.acquire()
        broken = False
        try:
            yield conn
        except OperationalError:
            # Anything else (a refused query, the caller's own error) leaves the stream
            # between two requests, so the connection can serve again.
            broken = True
            raise
        finally:
            self.release(conn, broken)

    def close(self):
        """Closes the idle connections; those in use are closed when they come back."""
        with self._available:
            self._closed = True
            idle, self._idle = self._idle, []
            self._available.notify_all()
        for conn in idle:
            conn.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
