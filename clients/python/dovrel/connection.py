"""A connection to a dovrel server and its typed helpers.

A Connection is safe to share between threads (one request at a time goes over its
stream, under a lock), but a Pool gives each thread its own. Every request is built whole
-- command text, code pages, framing -- before its first byte is sent, so an error found
while building it sends nothing.
"""

import re
import struct
import threading

from . import values as V
from .errors import BatchError, DataError, InterfaceError, ProtocolError, QueryError
from .textcodec import decode_answer, decode_plain, encode_command, encode_plain
from .wire import Link, frame

_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")
_MEMBER_PATH = re.compile(r"[A-Za-z0-9_.]+")
MODES = {None: b"", "only updated": b"only updated ", "including updated": b"including updated "}


def connect(host="127.0.0.1", port=8888, user=None, password="", timeout=30.0, quiet=False):
    """Opens a connection (see Connection)."""
    return Connection(host, port, user, password, timeout, quiet)


class SelectResult:
    """The answer of a search: ``count`` numbers returned of ``found`` documents found, and
    the document ``numbers`` in result order. Iterating yields the numbers."""

    def __init__(self, count, found, numbers):
        self.count = count
        self.found = found
        self.numbers = numbers

    def __iter__(self):
        return iter(self.numbers)

    def __len__(self):
        return len(self.numbers)

    def __repr__(self):
        return "SelectResult(count=%d, found=%d, numbers=%r)" % (self.count, self.found,
                                                                 self.numbers)


class Cond:
    """A search condition whose value is sent as a counted string: Cond("year.whole", ">",
    1800), Cond("year.whole", "range", 1800, 1900); combined with & (and) and | (or).
    The member path is MEMBER.INDEX as in the query language. Chains of one operator stay
    flat (a and b and c), so they never meet the server's limit on nested parentheses."""

    OPERATORS = ("=", "<", "<=", ">", ">=", "<>", "prefix", "range")

    def __init__(self, member, operator, value, to=None):
        if operator not in self.OPERATORS:
            raise DataError("unknown search operator %r" % (operator,))
        if (operator == "range") != (to is not None):
            raise DataError("range takes two values (Cond(member, 'range', low, high)); other "
                            "operators one")
        if not isinstance(member, str) or not _MEMBER_PATH.fullmatch(member):
            raise DataError("a member path is names joined by '.': %r" % (member,))
        text = member.encode("ascii") + b" " + operator.encode("ascii") + b" " + \
            V.counted(V.format_value(value))
        if to is not None:
            text += b" to " + V.counted(V.format_value(to))
        self._joint = None  # None for one condition, else b"and" / b"or"
        self._parts = [text]

    @classmethod
    def _join(cls, joint, left, right):
        node = cls.__new__(cls)
        node._joint = joint
        node._parts = []
        for side in (left, right):
            side = _as_cond(side)
            if side._joint == joint:
                node._parts.extend(side._parts)
            else:
                node._parts.append(side)
        return node

    def __and__(self, other):
        return Cond._join(b"and", self, other)

    def __or__(self, other):
        return Cond._join(b"or", self, other)

    def _text(self):
        if self._joint is None:
            return self._parts[0]
        texts = []
        for part in self._parts:
            text = part._text() if isinstance(part, Cond) else part
            # "and" binds closer than "or": only an "or" inside an "and" needs parentheses.
            if self._joint == b"and" and isinstance(part, Cond) and part._joint == b"or":
                text = b"(" + text + b")"
            texts.append(text)
        return (b" " + self._joint + b" ").join(texts)

    def __repr__(self):
        return "Cond(%s)" % self._text().decode("cp1251", errors="replace")


class _TextCond(Cond):
    """A condition given as text: kept in parentheses when combined."""

    def __init__(self, text):
        self._joint = b"text"
        self._parts = [text]

    def _text(self):
        return b"(" + self._parts[0] + b")"


def _as_cond(where):
    if isinstance(where, Cond):
        return where
    if isinstance(where, str):
        return _TextCond(encode_command(where))
    raise DataError("a condition is a Cond or a str, not a %s" % type(where).__name__)


def _cond_text(where):
    if isinstance(where, str):
        return encode_command(where)
    return _as_cond(where)._text()


def _is_select(command):
    word = command.lstrip(" \t\r\n")[:7]
    return word[:6].lower() == "select" and not (len(word) == 7 and (word[6].isalnum()
                                                                     or word[6] == "_"))


def _number(value, what):
    if isinstance(value, bool) or not isinstance(value, int) or not 0 <= value <= 0xFFFFFFFF:
        raise DataError("%s must be an int from 0 to 4294967295, not %r" % (what, value))
    return b"%d" % value


class Connection:
    """One TCP stream to the server carrying any number of requests (status lines skipped,
    checksums checked both ways). With ``quiet=True`` every request goes on a connection
    of its own, as a quiet request. A connection the server closed while it was idle (a
    restart) is opened again before the next request; one lost after a request went out
    raises ConnectionLost. Usable as a context manager (closes on exit)."""

    def __init__(self, host="127.0.0.1", port=8888, user=None, password="", timeout=30.0,
                 quiet=False):
        if user is None:
            raise InterfaceError("connect() needs a user")
        self.host = host
        self.port = port
        self.timeout = timeout
        self.quiet = quiet
        self._login = (b"User: " + encode_plain(user, "user name") + b"\r\nPassword: " +
                       encode_plain(password, "password") + b"\r\n")
        self._lock = threading.RLock()
        self._structures = {}
        self._closed = False
        self._link = None if quiet else Link(host, port, timeout)

    # ---- the stream ----

    def close(self):
        with self._lock:
            self._closed = True
            if self._link is not None:
                self._link.close()
                self._link = None

    @property
    def closed(self):
        return self._closed

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def execute_raw(self, command):
        """Sends command bytes (after the login lines) and returns the answer's bytes as they
        came. Raises QueryError on an ERROR answer."""
        with self._lock:
            return self._start(command)()

    def _start(self, command):
        """Sends a request and returns the function that reads its answer (raising as
        execute_raw does). Until that function has run nothing else may use the stream,
        so the caller holds the lock throughout; what it does meanwhile (building the next
        request) overlaps the server's work."""
        body = self._login + command
        if self._closed:
            raise InterfaceError("the connection is closed")
        if self.quiet:
            return lambda: _checked(self._quiet_exchange(body), command)
        data = frame(body)
        if self._link is None or self._link.sock is None or self._link.closed_by_peer():
            if self._link is not None:
                self._link.close()
            self._link = Link(self.host, self.port, self.timeout)
        link = self._link
        try:
            link.send(data)
        except BaseException:
            link.close()
            raise

        def finish():
            try:
                answer = link.read_answer()
            except BaseException:
                # Interrupted before the end of the answer (Ctrl-C, a signal handler's
                # exception): the rest of it would be read as the next request's, so the
                # stream is given up.
                link.close()
                raise
            return _checked(answer, command)
        return finish

    def _quiet_exchange(self, body):
        link = Link(self.host, self.port, self.timeout)
        try:
            link.send(frame(body, quiet=True))
            link.finish_sending()
            return link.read_answer(quiet=True)
        finally:
            link.close()

    def execute(self, command):
        """Sends one command, typed as text, and returns its answer as text: string values
        go out in code page 1251 and the rest in 866, and come back so; CR LF becomes LF.
        A search answer is shown as OK, its count line and one document number per line.
        Raises EncodingError (nothing sent) for a character the code page cannot hold and
        QueryError on an ERROR answer."""
        if not isinstance(command, str):
            raise InterfaceError("execute() takes a str; use execute_raw() for bytes")
        answer = self.execute_raw(encode_command(command))
        if _is_select(command):
            result = _parse_select(answer)
            return "OK\n" + result.count_line + "\n" + "".join("%d\n" % n for n in result.numbers)
        return decode_answer(answer)

    # ---- tables ----

    def tables(self):
        """The names of the tables the user may see."""
        lines = decode_plain(self.execute_raw(b"get table names;")).split("\r\n")
        return [line for line in lines[2:] if line]

    def structure(self, table, refresh=False):
        """The table's Structure, read once per connection and kept (refresh=True reads it
        again). An unknown table raises QueryError."""
        with self._lock:
            key = _key(table)
            if not refresh and key in self._structures:
                return self._structures[key]
            answer = self.execute_raw(b"get table " + _name(table) + b" structure;")
            structure = V.parse_structure(answer[4:])
            self._structures[key] = structure
            return structure

    def forget_structures(self):
        """Drops the structures kept, after a table was dropped or created again."""
        with self._lock:
            self._structures.clear()

    def _built(self, table, build, before_reading=None):
        """build(structure) with the kept structure; when that refuses the document, the
        structure may be stale (the table dropped and made again, perhaps by another
        client), so it is read again (after before_reading(), which settles a request
        still out) and the document built once more."""
        kept = _key(table) in self._structures
        try:
            return build(self.structure(table))
        except DataError:
            if not kept:
                raise
        if before_reading is not None:
            before_reading()
        return build(self.structure(table, refresh=True))

    def _typed_call(self, table, build):
        """Builds the command (see _built) and sends it; when the server refuses it, the
        kept structure may be stale, so it is read again next time."""
        command = self._built(table, build)
        try:
            return self.execute_raw(command)
        except QueryError:
            self._structures.pop(_key(table), None)
            raise

    # ---- documents ----

    def add(self, table, document):
        """Adds one document (a dict; a group as a nested dict) and returns its number."""
        return self._add(table, document, None)

    def replace(self, table, number, document):
        """Adds the document as the new version of document ``number`` (which is deleted in
        the same step) and returns the new number."""
        return self._add(table, document, _number(number, "the document number"))

    def _add(self, table, document, replacing):
        def build(structure):
            text = b"add " + V.build_document(structure, document) + b" to table " + _name(table)
            if replacing is not None:
                text += b" replacing " + replacing
            return text + b";"
        return _added_numbers(self._typed_call(table, build))[0]

    def add_many(self, table, documents, batch=1000, commit=True):
        """Adds the documents of an iterable, ``batch`` add clauses per request, committing
        after each request when ``commit``; returns their numbers in order. A document
        refused by the library raises DataError, one refused by the server BatchError; the
        error's ``numbers`` are those of the documents added before it (committed when
        ``commit``), its ``index`` the refused document's place in the input. The next
        request is built while the server runs the last one sent (the commit, or without
        commits the add), and sent only after every answer before it came back."""
        if batch < 1:
            raise DataError("batch must be at least 1")
        numbers = []
        out = []  # the request sent whose answer is not read: [read it, its clauses or None]

        def read_out():
            """Reads the answer of the request out; after an add, sends its commit, which
            is then the request out."""
            finish, clauses = out.pop()
            try:
                answer = finish()
            except QueryError as e:
                if clauses is None:
                    raise  # the commit's refusal, as commit() raises it
                self._structures.pop(_key(table), None)
                failed = _failed_clause(e, clauses)
                raise BatchError(e, list(numbers), len(numbers) + failed, failed) from None
            if clauses is not None:
                numbers.extend(_added_numbers(answer))
                if commit:
                    out.append((self._start(b"commit;"), None))

        def settle():
            while out:
                read_out()

        with self._lock:
            try:
                for clauses in self._add_clauses(table, documents, batch, settle):
                    settle()
                    out.append((self._start(b"".join(clauses)), clauses))
                    if commit:
                        read_out()  # the add's answer; its commit runs while the next is built
                settle()
            except Exception as e:
                # A document the library refused, or the caller's iterable failing: what was
                # sent before it is settled first (its numbers, its commit).
                settle()
                if isinstance(e, DataError) and hasattr(e, "index"):
                    e.numbers = list(numbers)
                raise
            except BaseException:
                if out and self._link is not None:
                    self._link.close()  # the answer out will not be read
                raise
        return numbers

    def _add_clauses(self, table, documents, batch, settle):
        """The add clauses of the documents, ``batch`` at a time, one per line so that the
        line of an error names the clause. A document the library refuses raises DataError
        with its ``index``; settle() runs before the table's structure is read again."""
        tail = b" to table " + _name(table) + b";\r\n"
        structure = self.structure(table)
        clauses = []
        for index, document in enumerate(documents):
            try:
                text = V.build_document(structure, document)
            except DataError:
                try:
                    text = self._built(table, lambda fresh: V.build_document(fresh, document),
                                       settle)
                except DataError as e:
                    e.index = index
                    raise
                structure = self.structure(table)
            clauses.append(b"add " + text + tail)
            if len(clauses) >= batch:
                yield clauses
                clauses = []
        if clauses:
            yield clauses

    def delete(self, table, number, if_actual=False):
        """Deletes one document, or several (an iterable of numbers) in one request. With
        ``if_actual`` a document deleted already is skipped instead of refused."""
        numbers = [number] if isinstance(number, int) else list(number)
        if not numbers:
            return
        clauses = b"".join(b"document " + _number(n, "the document number") + b" from table " +
                           _name(table) + b"; " for n in numbers)
        self.execute_raw(b"delete " + (b"if actual " if if_actual else b"") + clauses)

    def get(self, table, number, only=None):
        """The document as a dict typed by the table's structure (int64 int, double float,
        date/time/datetime the datetime types, binary and file bytes, text str, null None).
        ``only`` names the fields and groups to return ('group.field' for one field)."""
        def build(structure):
            text = b"get document " + _number(number, "the document number") + b" from table " + \
                _name(table)
            if only:
                items = [only] if isinstance(only, str) else list(only)
                text += b" only " + b", ".join(_path(item) for item in items)
            return text + b";"
        answer = self._typed_call(table, build)
        members = V.parse_documents(answer, 4)[0]
        structure = self.structure(table)
        if not V.knows_members(structure, members):
            structure = self.structure(table, refresh=True)  # made again since it was read
        return V.typed_document(structure, members)

    def meta(self, table, number):
        """The document's meta record as a dict: usercreated, creationtime (UTC), and for a
        deleted or replaced document who and what replaced or deleted it."""
        answer = self.execute_raw(b"get document " + _number(number, "the document number") +
                                  b" from table " + _name(table) + b" meta;")
        return V.parse_meta(answer, 4)

    def length(self, table):
        """(live documents, document numbers given) of the table."""
        lines = self.execute_raw(b"get table " + _name(table) + b" length;").split(b"\r\n")
        return int(lines[1]), int(lines[2])

    # ---- searches ----

    def select(self, table, where, order_by=None, desc=False, limit=None, offset=None, mode=None):
        """Searches the table. ``where`` is a Cond (values sent as counted strings) or the
        condition's text; ``order_by`` a MEMBER.INDEX path; ``mode`` None (live documents),
        'only updated' or 'including updated'."""
        if mode not in MODES:
            raise DataError("mode is None, 'only updated' or 'including updated', not %r" % mode)
        text = b"select " + MODES[mode] + b"from " + _name(table) + b" where " + _cond_text(where)
        if order_by is not None:
            text += b" order by " + _path(order_by) + (b" desc" if desc else b"")
        if limit is not None:
            text += b" limit " + _number(limit, "limit")
        if offset is not None:
            text += b" offset " + _number(offset, "offset")
        return _parse_select(self.execute_raw(text + b";"))

    def count(self, table, where, mode=None):
        """How many documents the search finds (no numbers are sent back)."""
        return self.select(table, where, limit=0, mode=mode).found

    def commit(self):
        """Makes every change since the last commit durable."""
        self.execute_raw(b"commit;")


def _checked(answer, command):
    """The answer of an OK; an ERROR answer raises QueryError."""
    if answer.startswith(b"ERROR\r\n"):
        raise QueryError(decode_answer(answer[7:]), command)
    if not answer.startswith(b"OK\r\n"):
        raise ProtocolError("an answer that is neither OK nor ERROR: %r" % answer[:40])
    return answer


def _key(table):
    """The kept structures' key of a table name (names do not depend on case)."""
    return table.lower() if isinstance(table, str) else table


def _name(name):
    if not isinstance(name, str) or not name:
        raise DataError("a name is a non-empty str, not %r" % (name,))
    if not _NAME.fullmatch(name):
        raise DataError("%r is not a name (Latin letters, digits and '_')" % name)
    return name.encode("ascii")


def _path(path):
    return b".".join(_name(part) for part in path.split("."))


def _added_numbers(answer):
    numbers = []
    for line in answer.split(b"\r\n"):
        if line.startswith(b"document "):
            numbers.append(int(line[9:]))
    return numbers


def _failed_clause(error, clauses):
    """The index of the clause an error points at: one clause per line, the command from
    line 3 on (line ends inside counted strings are not counted by the server)."""
    if error.line is None:
        return 0
    return min(max(error.line - 3, 0), len(clauses) - 1)


def _parse_select(answer):
    end = answer.find(b"\r\n", 4)
    if end < 0:
        raise ProtocolError("a search answer without its count line")
    count_line = answer[4:end].decode("ascii", errors="replace")
    try:
        if " of " in count_line:
            count, found = (int(x) for x in count_line.split(" of "))
        else:
            count = found = int(count_line)
    except ValueError:
        raise ProtocolError("a search answer with the count line %r" % count_line) from None
    data = answer[end + 2:]
    if len(data) != 4 * count:
        raise ProtocolError("a search answer of %d numbers carries %d bytes" % (count, len(data)))
    result = SelectResult(count, found, list(struct.unpack("<%dI" % count, data)))
    result.count_line = count_line
    return result
