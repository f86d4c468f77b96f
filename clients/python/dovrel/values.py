"""Python values to the server's text forms and back, documents and table structures.

Every value goes out as a counted string (#n#bytes#), whose contents the server takes
byte for byte, so no value can end its string early or change the command. Pure
functions; any thread.
"""

import datetime
import math
import re

from .errors import DataError, ProtocolError
from .textcodec import VALUES as VALUE_CODEC, decode_value, encode_plain, encode_value

TYPES = ("text", "binary", "int64", "double", "date", "time", "datetime", "file")
INT64_MIN = -(1 << 63)
INT64_MAX = (1 << 63) - 1
MAX_MANTISSA = 10 ** 16
MAX_EXPONENT = 300


class Field:
    """A field of a table: its name, alias, type (one of TYPES), whether it may be null,
    and its indexes as (name, kind) pairs."""

    def __init__(self, name, alias, type, nullable, indexes):
        self.name = name
        self.alias = alias
        self.type = type
        self.nullable = nullable
        self.indexes = indexes
        self.clause = b"field " + encode_plain(name) + b" = "  # how a document's value starts

    def __repr__(self):
        return "Field(%r, %r%s)" % (self.name, self.type, ", null" if self.nullable else "")


class Group:
    """A group of a table: its name, alias and fields (name -> Field, in declaration order)."""

    def __init__(self, name, alias, fields):
        self.name = name
        self.alias = alias
        self.fields = fields

    def __repr__(self):
        return "Group(%r, %r)" % (self.name, list(self.fields.values()))


class Structure:
    """A table's structure: ``members`` maps each top-level name to a Field or a Group, in
    declaration order; ``text`` is the declaration as the server wrote it."""

    def __init__(self, name, alias, members, text):
        self.name = name
        self.alias = alias
        self.members = members
        self.text = text

    @property
    def fields(self):
        return {n: m for n, m in self.members.items() if isinstance(m, Field)}

    @property
    def groups(self):
        return {n: m for n, m in self.members.items() if isinstance(m, Group)}

    def __repr__(self):
        return "Structure(%r, %r)" % (self.name, list(self.members.values()))


# ---- Python values to text ----

def counted(data):
    return b"#%d#" % len(data) + data + b"#"


def format_double(value):
    """The server's double form of a float: digits, a required '.', an optional exponent,
    at most 16 digits taken together and an exponent of at most 300. The shortest digits
    that read back as the same float are used; a float that needs 17 digits is rounded to
    16 (a relative change below 10^-16)."""
    if math.isnan(value) or math.isinf(value):
        raise DataError("%r has no text form in a double field" % value)
    if value == 0:
        return "0.0"
    sign = "-" if value < 0 else ""
    mantissa, _, exponent = ("%r" % abs(value)).partition("e")
    whole, _, fraction = mantissa.partition(".")
    digits = (whole + fraction).lstrip("0")
    power = int(exponent or 0) - len(fraction)
    if len(digits) > 16:
        rounded = "%.15e" % abs(value)
        if math.isinf(float(rounded)):  # rounding up passed the largest double
            rounded = "1.797693134862315e308"
        m, _, e = rounded.partition("e")
        digits = m.replace(".", "")
        power = int(e) - 15
    stripped = digits.rstrip("0")
    power += len(digits) - len(stripped)
    digits = stripped
    if -MAX_EXPONENT <= power <= 0 and len(digits) > -power:
        # The plain form when it fits: 12.5, 1869.0.
        point = len(digits) + power
        return "%s%s.%s" % (sign, digits[:point], digits[point:] or "0")
    if -20 <= power < 0:
        return "%s0.%s" % (sign, digits.rjust(-power, "0"))  # 0.5, 0.001
    if power > MAX_EXPONENT:
        return "%s%s.e%d" % (sign, digits + "0" * (power - MAX_EXPONENT), MAX_EXPONENT)
    if power < -MAX_EXPONENT:
        # Leading zeros of the fraction add digits but not to the mantissa's value.
        fraction_digits = -MAX_EXPONENT - power
        return "%s0.%se-%d" % (sign, digits.rjust(fraction_digits, "0"), MAX_EXPONENT)
    return "%s%s.e%d" % (sign, digits, power)


def _format_date(d):
    return "%02d.%02d.%04d" % (d.day, d.month, d.year)


def _format_time(t):
    return "%02d:%02d:%02d" % (t.hour, t.minute, t.second)


def format_value(value, field_type=None, where="value"):
    """The bytes of a value (not yet counted). With the field's type the Python type must
    fit it; without one (a search value) the Python type chooses the form. A str is sent
    as given (in code page 1251) for any type: the server checks it."""
    if isinstance(value, str):
        return encode_value(value, where)
    if isinstance(value, (bytes, bytearray, memoryview)):
        if field_type in (None, "text", "binary", "file"):
            return bytes(value)
    elif isinstance(value, bool):
        pass
    elif isinstance(value, int):
        if field_type in (None, "int64"):
            if not INT64_MIN <= value <= INT64_MAX:
                raise DataError("%s %d is outside the int64 range" % (where, value))
            return b"%d" % value
        if field_type == "double":
            return format_double(float(value)).encode("ascii")
    elif isinstance(value, float):
        if field_type in (None, "double"):
            return format_double(value).encode("ascii")
    elif isinstance(value, datetime.datetime):
        if field_type in (None, "datetime"):
            return ("%s %s" % (_format_date(value), _format_time(value))).encode("ascii")
    elif isinstance(value, datetime.date):
        if field_type in (None, "date"):
            return _format_date(value).encode("ascii")
    elif isinstance(value, datetime.time):
        if field_type in (None, "time"):
            return _format_time(value).encode("ascii")
    if field_type is None:
        raise DataError("%s: a %s has no text form" % (where, type(value).__name__))
    raise DataError("%s: a %s does not fit the %s field" % (where, type(value).__name__, field_type))


def _field_clause(field, value, where):
    if value is None:
        if not field.nullable:
            raise DataError("%s may not be null" % where)
        return field.clause + b"null; "
    # The two commonest values first; format_value has the whole mapping.
    if type(value) is str:
        try:
            data = value.encode(VALUE_CODEC)
        except UnicodeEncodeError:
            data = encode_value(value, where)  # raises, naming the character
    elif type(value) is int and field.type == "int64" and INT64_MIN <= value <= INT64_MAX:
        data = b"%d" % value
    else:
        data = format_value(value, field.type, where)
    return b"%s#%d#%s#; " % (field.clause, len(data), data)


def _by_name(values, names, unknown):
    """The dict with its keys as the server knows the names: in lower case, since names
    are read without regard to case ('Title' is the field title)."""
    if values.keys() <= names.keys():
        return values
    out = {}
    for key, value in values.items():
        name = key.lower() if isinstance(key, str) else key
        if name not in names:
            raise DataError("%s %r" % (unknown, key))
        if name in out:
            raise DataError("%r is given twice (names do not depend on case)" % key)
        out[name] = value
    return out


def _plan(structure):
    """The members of the structure in the order a document names them, with the texts
    every document repeats: [(name, Field, where, None) | (name, Group, where, (its
    opening, [(field name, Field, where)]))]. Made once per structure."""
    plan = structure.__dict__.get("_plan")
    if plan is None:
        plan = []
        for name, member in structure.members.items():
            where = "%s.%s" % (structure.name, name)
            if isinstance(member, Field):
                plan.append((name, member, where, None))
            else:
                fields = [(f, field, "%s.%s" % (where, f)) for f, field in member.fields.items()]
                plan.append((name, member, where, (b"group " + encode_plain(name) + b" { ",
                                                   fields)))
        structure._plan = plan
    return plan


def build_document(structure, document):
    """The text 'document { ... }' of a dict: every field of the table by name, a group as a
    nested dict. A field that allows null may be left out (it goes as null); a group may be
    left out, but a group given holds every field that does not allow null."""
    if not isinstance(document, dict):
        raise DataError("a document is a dict, not a %s" % type(document).__name__)
    document = _by_name(document, structure.members,
                        "table %s has no field or group" % structure.name)
    parts = [b"document { "]
    for name, member, where, group_plan in _plan(structure):
        if group_plan is None:
            if name not in document and not member.nullable:
                raise DataError("the document has no value for %s" % where)
            parts.append(_field_clause(member, document.get(name), where))
            continue
        group = document.get(name)
        if group is None:
            continue
        if not isinstance(group, dict):
            raise DataError("%s is a group: its value is a dict, not a %s"
                            % (where, type(group).__name__))
        group = _by_name(group, member.fields, "group %s has no field" % where)
        opening, fields = group_plan
        parts.append(opening)
        for field_name, field, field_where in fields:
            if field_name not in group and not field.nullable:
                raise DataError("the document has no value for %s" % field_where)
            parts.append(_field_clause(field, group.get(field_name), field_where))
        parts.append(b"}; ")
    parts.append(b"}")
    return b"".join(parts)


# ---- Answers to Python values ----

_TOKEN = re.compile(rb"[ \r\n]*(?:([A-Za-z_][A-Za-z0-9_]*)|#(\d+)#|([{};:=.,]))")


class _Reader:
    """Tokens of the server's canonical texts (documents, structures, meta records)."""

    def __init__(self, data, pos=0):
        self.data = data
        self.pos = pos

    def at_end(self):
        return not self.data[self.pos:].strip(b" \r\n")

    def next(self):
        """('name', str) | ('string', bytes) | ('punct', str)."""
        m = _TOKEN.match(self.data, self.pos)
        if not m:
            raise ProtocolError("unexpected answer text at byte %d: %r"
                                % (self.pos, self.data[self.pos:self.pos + 30]))
        if m.group(1) is not None:
            self.pos = m.end()
            return "name", m.group(1).decode("ascii").lower()
        if m.group(2) is not None:
            start = m.end()
            end = start + int(m.group(2))
            if self.data[end:end + 1] != b"#":
                raise ProtocolError("a counted string of the answer is cut short")
            self.pos = end + 1
            return "string", self.data[start:end]
        self.pos = m.end()
        return "punct", m.group(3).decode("ascii")

    def expect(self, kind, value=None):
        got_kind, got = self.next()
        if got_kind != kind or (value is not None and got != value):
            raise ProtocolError("unexpected answer text: expected %s, got %r" % (value or kind, got))
        return got

    def peek(self):
        pos = self.pos
        token = self.next()
        self.pos = pos
        return token


def parse_structure(data):
    """A 'table NAME alias #..# { ... };' declaration."""
    r = _Reader(data)
    r.expect("name", "table")
    name = r.expect("name")
    r.expect("name", "alias")
    alias = decode_value(r.expect("string"))
    r.expect("punct", "{")
    members = {}
    while r.peek() != ("punct", "}"):
        kind = r.expect("name")
        if kind == "field":
            field = _parse_field(r)
            members[field.name] = field
        elif kind == "group":
            group_name = r.expect("name")
            r.expect("name", "alias")
            group_alias = decode_value(r.expect("string"))
            r.expect("punct", "{")
            fields = {}
            while r.peek() != ("punct", "}"):
                r.expect("name", "field")
                field = _parse_field(r)
                fields[field.name] = field
            r.expect("punct", "}")
            r.expect("punct", ";")
            members[group_name] = Group(group_name, group_alias, fields)
        else:
            raise ProtocolError("unexpected %r in a table structure" % kind)
    r.expect("punct", "}")
    r.expect("punct", ";")
    return Structure(name, alias, members, data)


def _parse_field(r):
    name = r.expect("name")
    r.expect("name", "alias")
    alias = decode_value(r.expect("string"))
    r.expect("punct", ":")
    type_name = r.expect("name")
    nullable = False
    if r.peek() == ("name", "null"):
        r.next()
        nullable = True
    r.expect("punct", "{")
    indexes = []
    while r.peek() != ("punct", "}"):
        r.expect("name", "index")
        index_name = r.expect("name")
        kind = r.expect("string").decode("ascii", errors="replace")
        r.expect("punct", ";")
        indexes.append((index_name, kind))
    r.expect("punct", "}")
    r.expect("punct", ";")
    return Field(name, alias, type_name, nullable, indexes)


_DATE = re.compile(r"(\d\d)\.(\d\d)\.(\d\d\d\d)\Z")
_TIME = re.compile(r"(\d\d):(\d\d)(?::(\d\d))?\Z")


def _parse_date(text):
    m = _DATE.match(text)
    return datetime.date(int(m.group(3)), int(m.group(2)), int(m.group(1)))


def _parse_time(text):
    m = _TIME.match(text)
    return datetime.time(int(m.group(1)), int(m.group(2)), int(m.group(3) or 0))


def typed_value(data, field_type):
    """A stored value as the Python type of its field. The server does not range-check the
    digits of dates and times: one that names no real day or time (31.02.2007, 99:99)
    comes back as its text."""
    if field_type == "binary" or field_type == "file":
        return data
    text = decode_value(data)
    try:
        if field_type == "int64":
            return int(text)
        if field_type == "double":
            return float(text)
        if field_type == "date":
            return _parse_date(text)
        if field_type == "time":
            return _parse_time(text)
        if field_type == "datetime":
            return datetime.datetime.combine(_parse_date(text[:10]), _parse_time(text[11:]))
    except (ValueError, AttributeError):
        return text
    return text


_SPACE = re.compile(rb"[ \r\n]*")
_DOCUMENT = re.compile(rb"[ \r\n]*document[ \r\n]*\{", re.I)
# A field with its value's count (or null), the start of a group, or a closing '};'.
_MEMBER = re.compile(rb"[ \r\n]*(?:field[ \r\n]+([A-Za-z_][A-Za-z0-9_]*)[ \r\n]*=[ \r\n]*"
                     rb"(?:#(\d+)#|null[ \r\n]*;)"
                     rb"|group[ \r\n]+([A-Za-z_][A-Za-z0-9_]*)[ \r\n]*\{|\}[ \r\n]*;)", re.I)
_VALUE_END = re.compile(rb"#[ \r\n]*;")


def _unexpected(data, pos):
    raise ProtocolError("unexpected answer text at byte %d: %r" % (pos, data[pos:pos + 30]))


def parse_documents(data, pos=0):
    """The documents of a get document answer as lists of (name, raw value | None) for
    fields and (name, [fields]) for groups. One pattern match per member: documents are
    most of what a reading program receives."""
    documents = []
    while _SPACE.match(data, pos).end() < len(data):
        m = _DOCUMENT.match(data, pos)
        if m is None:
            _unexpected(data, pos)
        pos = m.end()
        members = []
        into = members  # the list the next field goes to: the document's or a group's
        while True:
            m = _MEMBER.match(data, pos)
            if m is None:
                _unexpected(data, pos)
            pos = m.end()
            name, count, group = m.group(1, 2, 3)
            if name is not None:
                if count is None:
                    into.append((name.decode("ascii").lower(), None))
                    continue
                stop = pos + int(count)
                end = _VALUE_END.match(data, stop)
                if end is None:
                    raise ProtocolError("a counted string of the answer is cut short")
                into.append((name.decode("ascii").lower(), data[pos:stop]))
                pos = end.end()
            elif group is not None:
                if into is not members:
                    _unexpected(data, m.start(3))  # groups hold fields only
                into = []
                members.append((group.decode("ascii").lower(), into))
            elif into is not members:
                into = members  # the group's end
            else:
                break
        documents.append(members)
    return documents


def knows_members(structure, members):
    """Whether every field and group of a parsed document is in the structure, as the
    same kind of member."""
    for name, value in members:
        member = structure.members.get(name)
        if isinstance(value, list):
            if not isinstance(member, Group) or any(f not in member.fields for f, _ in value):
                return False
        elif not isinstance(member, Field):
            return False
    return True


def typed_document(structure, members):
    """A parsed document as a dict typed by the table's structure (a group as a dict)."""
    out = {}
    for name, value in members:
        member = structure.members.get(name)
        if isinstance(value, list):
            fields = member.fields if isinstance(member, Group) else {}
            out[name] = {f: _typed(fields.get(f), v) for f, v in value}
        else:
            out[name] = _typed(member if isinstance(member, Field) else None, value)
    return out


def _typed(field, value):
    if value is None:
        return None
    if field is None:  # the structure read earlier does not know it
        return decode_value(value)
    return typed_value(value, field.type)


def parse_meta(data, pos=0):
    """A meta record 'document { name = #..#; ... };' as a dict of str. Times (UTC) become
    datetime values, numbers int, and 'none' None."""
    r = _Reader(data, pos)
    r.expect("name", "document")
    r.expect("punct", "{")
    out = {}
    while r.peek() != ("punct", "}"):
        name = r.expect("name")
        r.expect("punct", "=")
        text = decode_value(r.expect("string"))
        r.expect("punct", ";")
        if text == "none":
            out[name] = None
        elif text.isdigit():
            out[name] = int(text)
        elif name.endswith("time"):
            value = typed_value(text.encode("cp1251"), "datetime")
            out[name] = value.replace(tzinfo=datetime.timezone.utc) \
                if isinstance(value, datetime.datetime) else value
        else:
            out[name] = text
    return out
