"""The exceptions of the client library. Every one derives from dovrel.Error.

    Error
     +-- InterfaceError     the connection or pool is closed; the library was misused
     +-- DataError          a value that does not fit its field, an unknown field or table
     |    +-- EncodingError a character the code page cannot hold
     +-- OperationalError   the server cannot be reached, or the connection was lost
     |    +-- ConnectionLost  the connection ended before the whole answer came
     |    +-- ProtocolError   an answer that is not well framed, or whose checksum is wrong
     +-- QueryError         the server refused the command (its ERROR answer)

Whenever one of them is raised before a request went out, nothing of it was sent.
"""

import re


class Error(Exception):
    """Base class of every exception the library raises."""


class InterfaceError(Error):
    """The connection (or pool) is closed, or the library was called wrongly."""


class DataError(Error, ValueError):
    """A value that cannot be sent for its field; raised before anything is sent."""


class EncodingError(DataError):
    """A character that has no place in the code page it must travel in. ``line`` and
    ``column`` are its place in the command text when it came from one, else None."""

    def __init__(self, message, line=None, column=None):
        super().__init__(message)
        self.line = line
        self.column = column


class OperationalError(Error):
    """The server could not be reached, or the connection failed."""


class ConnectionLost(OperationalError):
    """The connection ended (or timed out) after the request went out and before its whole
    answer came: the command may or may not have run."""


class ProtocolError(OperationalError):
    """An answer that is not what the protocol allows: a bad header or checksum."""


_POSITIONED = re.compile(r"^Ошибка в строке (\d+) столбце (\d+): (.*)\Z", re.S)


class QueryError(Error):
    """The server answered ERROR. ``text`` is the whole error text as the server wrote it
    (decoded), ``message`` the reason without its position, ``line`` and ``column`` the
    place where the server stopped reading (None when the text has no position). Line 1
    and 2 are the login lines, so a command's first line is line 3."""

    def __init__(self, text, command=None):
        self.text = text
        self.command = command
        match = _POSITIONED.match(text)
        if match:
            self.line = int(match.group(1))
            self.column = int(match.group(2))
            self.message = match.group(3)
        else:
            self.line = None
            self.column = None
            self.message = text
        super().__init__(text)


class BatchError(QueryError):
    """add_many stopped at a document the server refused. ``numbers`` holds the numbers of
    the documents added before (in order), ``index`` the position of the refused document
    in the input, and ``unnumbered`` how many documents right before it were added by the
    same request, whose numbers the error answer does not carry (they are neither in
    ``numbers`` nor committed by add_many)."""

    def __init__(self, error, numbers, index, unnumbered):
        super().__init__(error.text, error.command)
        self.numbers = numbers
        self.index = index
        self.unnumbered = unnumbered
