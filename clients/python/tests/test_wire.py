"""The framing against a scripted peer: what the client sends, and what it makes of
answers that are well framed, delayed by status lines, cut short or damaged."""

import binascii
import socket
import threading
import unittest

import dovrel
from dovrel.textcodec import decode_answer, encode_command


def framed(text):
    return b"Format: TORV5\r\nContent-Length: %d\r\nChecksum: %08X\r\n\r\n" % (
        len(text), binascii.crc32(text) & 0xFFFFFFFF) + text


class ScriptedPeer:
    """Listens on a free port; for each request it reads, it records the request and sends
    the next scripted reply (bytes), then closes after the last one."""

    def __init__(self, replies):
        self.replies = list(replies)
        self.requests = []
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(1)
        self.port = self.listener.getsockname()[1]
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _read_request(self, sock, buffered):
        while b"\r\n\r\n" not in buffered:
            chunk = sock.recv(4096)
            if not chunk:
                return None, b""
            buffered += chunk
        header, _, rest = buffered.partition(b"\r\n\r\n")
        length = int(header.split(b"\r\n")[1].split(b": ")[1])
        while len(rest) < length:
            rest += sock.recv(4096)
        self.requests.append((header + b"\r\n\r\n", rest[:length]))
        return rest[:length], rest[length:]

    def _serve(self):
        sock, _ = self.listener.accept()
        with sock:
            buffered = b""
            for reply in self.replies:
                body, buffered = self._read_request(sock, buffered)
                if body is None:
                    return
                sock.sendall(reply)

    def close(self):
        self.listener.close()
        self.thread.join(5)


class WireTest(unittest.TestCase):
    def talk(self, replies, command="get table names;"):
        peer = ScriptedPeer(replies)
        self.addCleanup(peer.close)
        conn = dovrel.connect(port=peer.port, user="Admin", password="пароль", timeout=2)
        self.addCleanup(conn.close)
        return peer, conn, command

    def test_request_framing(self):
        peer, conn, command = self.talk([framed(b"OK\r\n"), framed(b"OK\r\n1\r\nt\r\n")])
        self.assertEqual(conn.execute("commit;"), "OK\n")
        self.assertEqual(conn.tables(), ["t"])
        header, body = peer.requests[0]
        self.assertEqual(body, b"User: Admin\r\nPassword: \xaf\xa0\xe0\xae\xab\xec\r\ncommit;")
        self.assertEqual(header, b"Format: TORV5\r\nContent-Length: %d\r\nChecksum: %08X\r\n\r\n"
                         % (len(body), binascii.crc32(body)))
        self.assertEqual(len(peer.requests), 2)  # the same stream carries both

    def test_answers(self):
        good = framed(b"OK\r\n#2#\xc0\xff#\r\n")
        cases = [
            ("status lines are skipped", [b"Receiving\r\nIn queue\r\nRunning\r\n" + good], None),
            ("an answer in pieces", [good[:3], good[3:20], good[20:]], None),
            ("a cut answer", [good[:-3]], dovrel.ConnectionLost),
            ("a cut header", [good[:20]], dovrel.ConnectionLost),
            ("no answer at all", [b""], dovrel.ConnectionLost),
            ("silence past the timeout", [good[:20], None], dovrel.ConnectionLost),
            ("a wrong checksum", [good.replace(b"\xff", b"\xfe")], dovrel.ProtocolError),
            ("a bad format line", [b"Format: TORV4\r\n" + good[15:]], dovrel.ProtocolError),
            ("neither OK nor ERROR", [framed(b"MAYBE\r\n")], dovrel.ProtocolError),
            ("a cut search answer", [framed(b"OK\r\n2\r\n\x01\x00\x00\x00")], dovrel.ProtocolError),
        ]
        for name, pieces, exception in cases:
            with self.subTest(name):
                peer = _PieceWisePeer(pieces)
                self.addCleanup(peer.close)
                conn = dovrel.connect(port=peer.port, user="u", timeout=0.3)
                self.addCleanup(conn.close)
                command = "select from t where a.b = 'c';" if "search" in name else "get x;"
                if exception is None:
                    self.assertEqual(conn.execute(command), "OK\n#2#Ая#\n")
                else:
                    with self.assertRaises(exception) as caught:
                        conn.execute(command)
                    if "timeout" in name:
                        self.assertIn("no answer within 0.3 s", str(caught.exception))

    def test_error_answer(self):
        text = "ERROR\r\nОшибка в строке 3 столбце 7: ожидается ';'".encode("cp866")
        peer, conn, _ = self.talk([framed(text)])
        with self.assertRaises(dovrel.QueryError) as caught:
            conn.execute("commit")
        self.assertEqual((caught.exception.line, caught.exception.column), (3, 7))
        self.assertEqual(caught.exception.message, "ожидается ';'")

    def test_search_answer(self):
        peer, conn, _ = self.talk([framed(b"OK\r\n2 of 5\r\n\x07\x00\x00\x00\x00\x01\x00\x00")])
        result = conn.select("t", dovrel.Cond("a.b", "=", "x"), limit=2)
        self.assertEqual((result.count, result.found, result.numbers), (2, 5, [7, 256]))
        self.assertEqual(peer.requests[0][1][-40:],
                         b"select from t where a.b = #1#x# limit 2;"[-40:])


class _PieceWisePeer(ScriptedPeer):
    """Answers the first request with the pieces, sent one by one, then closes; a piece
    None keeps the connection open and silent until the client closes it."""

    def __init__(self, pieces):
        self.pieces = pieces
        super().__init__([])

    def _serve(self):
        sock, _ = self.listener.accept()
        with sock:
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            self._read_request(sock, b"")
            for piece in self.pieces:
                if piece is None:  # silent until the client gives up
                    sock.recv(1)
                    return
                sock.sendall(piece)


class CodePageTest(unittest.TestCase):
    ENCODED = [
        # typed command, the bytes sent
        ("get table names;", b"get table names;"),
        ("select from t where a.w = 'Мир';", b"select from t where a.w = '\xcc\xe8\xf0';"),
        ('select from t where a.w = "ёЁ";', b'select from t where a.w = "\xb8\xa8";'),
        ("add document { field a = #3#Мир#; } to table t;",
         b"add document { field a = #3#\xcc\xe8\xf0#; } to table t;"),
        ("#3#a'b# 'x#1#y'", b"#3#a'b# 'x#1#y'"),
        ("create user u alias 'Юра' kind grantee account unlock identified by 'Юра';",
         b"create user u alias '\xde\xf0\xe0' kind grantee account unlock identified by "
         b"'\x9e\xe0\xa0';"),
        ("alter user u IDENTIFIED  BY #3#Юра#;", b"alter user u IDENTIFIED  BY #3#\x9e\xe0\xa0#;"),
    ]

    def test_commands(self):
        for text, sent in self.ENCODED:
            with self.subTest(text=text):
                self.assertEqual(encode_command(text), sent)

    def test_characters_outside_the_code_page(self):
        for text, where in [("get 'é';", "line 1, column 6"), ("get\n  Ω;", "line 2, column 3"),
                            ("x 'a' identified by '€'", "line 1, column 22")]:
            with self.subTest(text=text):
                with self.assertRaises(dovrel.EncodingError) as caught:
                    encode_command(text)
                self.assertIn(where, str(caught.exception))

    def test_answers(self):
        cases = [
            (b"OK\r\n#3#\xcc\xe8\xf0#\r\n", "OK\n#3#Мир#\n"),
            (b"\x8e\xe8\xa8\xa1\xaa\xa0 #2#\r\n#", "Ошибка #1#\n#"),
            (b"#5#ab#", "#5#ab#"),  # not a complete counted string: plain text
        ]
        for data, shown in cases:
            with self.subTest(data=data):
                self.assertEqual(decode_answer(data), shown)


class DocumentTextTest(unittest.TestCase):
    CASES = [
        # a get document answer after its OK line, the documents parsed (None: refused)
        (b"document {\r\n   field t = #4#a\r\n;#;\r\n   field n = null;\r\n   group G {\r\n"
         b"      field x = #1#5#;\r\n   };\r\n};\r\ndocument {\r\n};\r\n",
         [[("t", b"a\r\n;"), ("n", None), ("g", [("x", b"5")])], []]),
        (b"DOCUMENT{field a=#0##;group g{};};", [[("a", b""), ("g", [])]]),
        (b"", []),
        (b"document { field a = #9#short#; };", None),
        (b"document { group g { group h { }; }; };", None),
        (b"document { field a = #1#x# };", None),
        (b"document { field a = 'x'; };", None),
        (b"document { field a = #1#x#;", None),
    ]

    def test_documents(self):
        for data, documents in self.CASES:
            with self.subTest(data=data):
                if documents is None:
                    with self.assertRaises(dovrel.ProtocolError):
                        dovrel.values.parse_documents(data)
                else:
                    self.assertEqual(dovrel.values.parse_documents(data), documents)


if __name__ == "__main__":
    unittest.main()
