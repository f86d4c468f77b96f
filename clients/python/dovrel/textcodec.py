"""The code pages of command and answer text.

The server reads bytes. String values -- the contents of '...', "..." and #n#...#
strings -- travel in code page 1251, the code page the text indexes read, so Cyrillic
words are found by word searches; everything else (names, keywords, numbers, the login
lines and the password after ``identified by``) travels in code page 866, the code page of
names and messages. Answers follow the same rule: the contents of counted strings are read
from 1251, the rest from 866. Pure functions; any thread.
"""

from .errors import EncodingError

VALUES = "cp1251"
PLAIN = "cp866"


def _is_digit(c):
    return "0" <= c <= "9"


def _is_name_start(c):
    return ("a" <= c <= "z") or ("A" <= c <= "Z") or c == "_"


def _is_name_char(c):
    return _is_name_start(c) or _is_digit(c)


def _counted_header(text, at):
    """For text[at] == '#': (position of the second '#', count), or None when the text
    there is not '#digits#'."""
    j = at + 1
    while j < len(text) and _is_digit(text[j]):
        j += 1
    if j == at + 1 or j >= len(text) or text[j] != "#":
        return None
    return j, int(text[at + 1:j])


class _CommandEncoder:
    def __init__(self, text, values):
        self.text = text
        self.values = values
        self.pos = 0
        self.line = 1
        self.column = 1
        self.out = bytearray()
        self.last_word = ""
        self.previous_word = ""

    def run(self):
        text = self.text
        while self.pos < len(text):
            c = text[self.pos]
            # "identified by" is followed by a password, which must match the login line.
            password = self.previous_word == "identified" and self.last_word == "by"
            codec = PLAIN if password else self.values
            header = _counted_header(text, self.pos) if c == "#" else None
            if c in "'\"":
                self._quoted(c, codec)
                self._note("")
            elif header is not None:
                self._counted(header[0], header[1], codec)
                self._note("")
            elif _is_name_start(c):
                start = self.pos
                while self.pos < len(text) and _is_name_char(text[self.pos]):
                    self._take(PLAIN)
                self._note(text[start:self.pos].lower())
            else:
                self._take(PLAIN)
                if c not in " \r\n\t":
                    self._note("")
        return bytes(self.out)

    def _quoted(self, quote, codec):
        self._take(PLAIN)
        while self.pos < len(self.text) and self.text[self.pos] != quote:
            self._take(codec)
        if self.pos < len(self.text):
            self._take(PLAIN)

    def _counted(self, second, count, codec):
        # The count is of characters; each becomes one byte in either code page.
        while self.pos <= second:
            self._take(PLAIN)
        k = 0
        while k < count and self.pos < len(self.text):
            self._take(codec)
            k += 1
        if self.pos < len(self.text) and self.text[self.pos] == "#":
            self._take(PLAIN)

    def _note(self, word):
        self.previous_word = self.last_word
        self.last_word = word

    def _take(self, codec):
        c = self.text[self.pos]
        try:
            self.out += c.encode(codec)
        except UnicodeEncodeError:
            where = "line %d, column %d: " % (self.line, self.column)
            page = "866" if codec == PLAIN else "1251 (string values)"
            raise EncodingError(
                "%sthe character U+%04X '%s' has no place in code page %s; nothing was sent"
                % (where, ord(c), c, page),
                self.line, self.column) from None
        self.pos += 1
        if c == "\n":
            self.line += 1
            self.column = 1
        else:
            self.column += 1


def encode_command(text, values=VALUES):
    """The bytes to send for a command typed as text. Raises EncodingError, naming the
    character with its line and column, for a character the code page cannot hold."""
    return _CommandEncoder(text, values).run()


def _encode(text, codec, page, what):
    try:
        return text.encode(codec)
    except UnicodeEncodeError as e:
        c = text[e.start]
        raise EncodingError("the character U+%04X '%s' of the %s has no place in code page %s; "
                            "nothing was sent" % (ord(c), c, what, page)) from None


def encode_plain(text, what="text"):
    """Names, keywords and login lines: code page 866."""
    return _encode(text, PLAIN, "866", what)


def encode_value(text, what="value"):
    """A string value's contents: code page 1251."""
    return _encode(text, VALUES, "1251", what)


def decode_value(data):
    return data.decode(VALUES, errors="replace")


def decode_plain(data):
    return data.decode(PLAIN, errors="replace")


def _counted_at(data, i):
    """For data[i] == '#': (start of the contents, count) of a complete counted string, or
    None when the bytes there do not make one."""
    j = i + 1
    n = len(data)
    while j < n and 0x30 <= data[j] <= 0x39:
        j += 1
    if j == i + 1 or j >= n or data[j] != 0x23:
        return None
    count = int(data[i + 1:j])
    content = j + 1
    if count >= n - content or data[content + count] != 0x23:
        return None
    return content, count


def decode_answer(data, values=VALUES):
    """An answer's text: counted strings' contents from the value code page, re-counted in
    the characters shown; the rest from 866. CR LF becomes LF everywhere (inside a counted
    string it counts as one character). A '#' that opens no complete counted string is
    plain text."""
    out = []
    plain = 0
    i = 0
    n = len(data)
    while i < n:
        if data[i] != 0x23:
            i += 1
            continue
        found = _counted_at(data, i)
        if found is None:
            i += 1
            continue
        content, count = found
        out.append(decode_plain(data[plain:i]).replace("\r\n", "\n"))
        value = data[content:content + count].replace(b"\r\n", b"\n")
        shown = value.decode(values, errors="replace")
        out.append("#%d#%s#" % (len(value), shown))
        i = content + count + 1
        plain = i
    out.append(decode_plain(data[plain:]).replace("\r\n", "\n"))
    return "".join(out)
