"""The framed request/answer protocol over one TCP stream.

A request is a header (format line, body length, CRC-32 of the body in upper-case hex, an
empty line) and the body. Between answers the server sends status lines (Receiving, In
queue, Running, Ready) every 5 seconds; they are skipped. A Link belongs to one thread at a
time (Connection guards it with a lock).
"""

import binascii
import re
import socket
import struct

from .errors import ConnectionLost, OperationalError, ProtocolError

FORMAT_LINE = b"Format: TORV5\r\n"
STATUS_LINES = (b"Receiving\r\n", b"In queue\r\n", b"Running\r\n", b"Ready\r\n")
MAX_BODY = 0xFFFFFFFF
_MAX_HEADER_LINE = 64
_HEADER = re.compile(rb"Format: TORV5\r\nContent-Length: (\d{1,10})\r\n"
                     rb"Checksum: ([0-9A-F]{8})\r\n\r\n")


def crc32(data):
    return binascii.crc32(data) & 0xFFFFFFFF


def frame(body, quiet=False):
    """The request header followed by the body. A known-length body cannot be empty: the
    length 0 announces a quiet request."""
    if len(body) > MAX_BODY:
        raise OperationalError("request too large (4 GiB or more); nothing was sent")
    length = 0 if quiet else len(body)
    header = b"Format: TORV5\r\nContent-Length: %d\r\nChecksum: %08X\r\n\r\n" % (length, crc32(body))
    return header + body


class Link:
    """One TCP connection to the server. ``timeout`` (seconds, None: no limit) bounds the
    connect and every wait for answer bytes; since a busy server sends a status line every
    5 seconds, a timeout above that fires only when the server is gone or stuck."""

    def __init__(self, host, port, timeout):
        self.host = host
        self.port = port
        self.timeout = timeout
        self._buffer = bytearray()
        try:
            self.sock = socket.create_connection((host, port), timeout=timeout)
        except OSError as e:
            raise OperationalError("cannot connect to %s:%d: %s" % (host, port, e)) from e
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        # Waits are bounded by the kernel (a timed-out call fails with EAGAIN) on a blocking
        # socket, rather than by Python's socket timeout, which polls before every call.
        self.sock.settimeout(None)
        if timeout is not None:
            seconds = int(timeout)
            micros = int((timeout - seconds) * 1e6)
            if seconds == 0 and micros == 0:
                micros = 1  # zero would mean no limit
            limit = struct.pack("ll", seconds, micros)
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVTIMEO, limit)
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_SNDTIMEO, limit)

    def close(self):
        if self.sock is not None:
            try:
                self.sock.close()
            finally:
                self.sock = None

    def closed_by_peer(self):
        """Whether the server has closed this connection while it was idle. Status lines
        that arrived meanwhile are dropped; other bytes are a protocol error."""
        while True:
            try:
                chunk = self.sock.recv(65536, socket.MSG_DONTWAIT)
            except BlockingIOError:
                return False
            except OSError:
                return True
            if not chunk:
                return True
            self._buffer += chunk
            self._drop_status_lines()
            if self._buffer and not any(s.startswith(bytes(self._buffer[:len(s)]))
                                        for s in STATUS_LINES):
                self.close()
                raise ProtocolError("the server sent %r between answers" % bytes(self._buffer[:40]))

    def finish_sending(self):
        """Ends the sending side: the end of a quiet request's body."""
        try:
            self.sock.shutdown(socket.SHUT_WR)
        except OSError as e:
            self.close()
            raise ConnectionLost("the connection was lost while sending (%s)" % e) from e

    def _drop_status_lines(self):
        dropped = True
        while dropped:
            dropped = False
            for line in STATUS_LINES:
                if self._buffer.startswith(line):
                    del self._buffer[:len(line)]
                    dropped = True

    def send(self, data):
        try:
            self.sock.sendall(data)
        except OSError as e:
            self.close()
            raise ConnectionLost("the connection was lost while sending (%s); the command may "
                                 "or may not have run" % e) from e

    def _receive(self):
        """The next bytes of the stream (b"" at its end)."""
        try:
            return self.sock.recv(65536)
        except (BlockingIOError, socket.timeout) as e:
            self.close()
            raise ConnectionLost("no answer within %s s; the command may or may not have run"
                                 % self.timeout) from e
        except OSError as e:
            self.close()
            raise ConnectionLost("the connection was lost (%s); the command may or may not "
                                 "have run" % e) from e

    def _fill(self):
        chunk = self._receive()
        if not chunk:
            self.close()
            raise ConnectionLost("the server closed the connection before the whole answer "
                                 "came; the command may or may not have run")
        self._buffer += chunk

    def _line(self):
        while True:
            end = self._buffer.find(b"\n")
            if end >= 0:
                line = bytes(self._buffer[:end + 1])
                del self._buffer[:end + 1]
                return line
            if len(self._buffer) > _MAX_HEADER_LINE:
                raise ProtocolError("an answer header line is too long: %r"
                                    % bytes(self._buffer[:40]))
            self._fill()

    def _header_value(self, name):
        line = self._line()
        if not line.startswith(name) or not line.endswith(b"\r\n"):
            self.close()
            raise ProtocolError("expected %r in the answer header, got %r" % (name, line))
        return line[len(name):-2]

    def _read_header(self):
        """(length, checksum) of an answer header read line by line: the way for a header
        that comes in pieces, after status lines, or damaged (a ProtocolError)."""
        while True:
            line = self._line()
            if line in STATUS_LINES:
                continue
            if line != FORMAT_LINE:
                self.close()
                raise ProtocolError("expected the answer header, got %r" % line)
            break
        length_text = self._header_value(b"Content-Length: ")
        checksum_text = self._header_value(b"Checksum: ")
        if self._line() != b"\r\n":
            self.close()
            raise ProtocolError("the answer header does not end with an empty line")
        try:
            length = int(length_text)
            checksum = int(checksum_text, 16)
        except ValueError:
            self.close()
            raise ProtocolError("malformed answer header: %r, %r" % (length_text, checksum_text))
        return length, checksum

    def read_answer(self, quiet=False):
        """The text of the next answer, its checksum checked (a quiet answer carries none
        and runs to the end of the stream)."""
        if not self._buffer:
            self._fill()
        header = _HEADER.match(self._buffer)
        if header is not None:  # the whole header has come, as it almost always has
            length, checksum = int(header.group(1)), int(header.group(2), 16)
            del self._buffer[:header.end()]
        else:
            length, checksum = self._read_header()
        if quiet:
            while True:
                chunk = self._receive()
                if not chunk:
                    break
                self._buffer += chunk
            body = bytes(self._buffer)
            self._buffer.clear()
            self.close()
            return body
        while len(self._buffer) < length:
            self._fill()
        body = bytes(self._buffer[:length])
        del self._buffer[:length]
        if crc32(body) != checksum:
            self.close()
            raise ProtocolError("the answer's checksum %08X does not match its text (%08X)"
                                % (checksum, crc32(body)))
        return body
