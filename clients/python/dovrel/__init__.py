"""dovrel: a client for the dovrel document database server (standard library only).

    import dovrel
    with dovrel.connect(port=8888, user="admin", password="admin") as conn:
        number = conn.add("books", {"title": "War and Peace", "year": 1869})
        print(conn.get("books", number))

See README.md for the API, the type mapping and the code-page rule.
"""

from .connection import Cond, Connection, SelectResult, connect
from .errors import (BatchError, ConnectionLost, DataError, EncodingError, Error, InterfaceError,
                     OperationalError, ProtocolError, QueryError)
from .pool import Pool
from .textcodec import decode_answer, encode_command
from .values import Field, Group, Structure, format_double

__version__ = "0.1.0"

__all__ = [
    "connect", "Connection", "Pool", "Cond", "SelectResult", "Structure", "Field", "Group",
    "Error", "InterfaceError", "DataError", "EncodingError", "OperationalError",
    "ConnectionLost", "ProtocolError", "QueryError", "BatchError", "encode_command",
    "decode_answer", "format_double",
]
