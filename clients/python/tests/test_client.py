"""The client against a real server: value round trips, searches, errors, batches, the
code-page rule, quiet requests, restarts and the pool."""

import contextlib
import datetime
import functools
import io
import operator
import os
import threading
import unittest

import dovrel
from instance import GUEST, ServerInstance, ServerTestCase

ALL_TYPES = """create table every alias 'Every type' {
  field s alias 'Text' : text null { index w 'words'; index whole 'whole'; };
  field b alias '' : binary null { };
  field i alias '' : int64 null { index whole 'whole'; };
  field d alias '' : double null { index whole 'whole'; };
  field dt alias '' : date null { index whole 'whole'; };
  field tm alias '' : time null { index whole 'whole'; };
  field ts alias '' : datetime null { index whole 'whole'; };
  field f alias '' : file null { };
  group g alias 'Group' { field x alias '' : int64 { index whole 'whole'; }; field y alias '' : text null { }; };
};"""

BOOKS = """create table books alias 'Books' {
  field title alias 'Title' : text { index words 'words'; };
  field author alias 'Author' : text { index whole 'whole'; };
  field year alias 'Year' : int64 { index whole 'whole'; };
};"""


class ValuesTest(ServerTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        with cls.server.connect() as conn:
            conn.execute(ALL_TYPES)

    # field, value sent, value expected back (None: the same), index to find it by or None
    ROUND_TRIPS = [
        ("s", "", None, None),
        ("s", "it's \"quoted\"; #5#} field i = '1'; add", None, "whole"),
        ("s", "line one\r\nline two\n", None, None),
        ("s", "Война и мир", None, "whole"),
        ("s", b"raw \xc0\xff bytes", "raw Ая bytes", None),
        ("b", bytes(range(256)), None, None),
        ("b", b"", None, None),
        ("i", 0, None, "whole"),
        ("i", -9223372036854775808, None, "whole"),
        ("i", 9223372036854775807, None, "whole"),
        ("i", "42", 42, "whole"),
        ("d", 12.5, None, "whole"),
        ("d", -0.5, None, "whole"),
        ("d", 1.0 / 3, None, "whole"),
        ("d", 1e-5, None, "whole"),
        ("d", 1e16, None, "whole"),
        ("d", 1e300, None, "whole"),
        ("d", 1e308, None, "whole"),
        ("d", 5e-324, None, "whole"),
        ("d", 2.5e-308, None, "whole"),
        ("d", 2.2250738585072014e-308, 2.225073858507201e-308, "whole"),
        ("d", 7, 7.0, "whole"),
        ("d", 0.1 + 0.2, 0.3, "whole"),  # 17 digits: rounded to the 16 the server takes
        ("dt", datetime.date(2024, 12, 25), None, "whole"),
        ("dt", datetime.date(1, 1, 1), None, "whole"),
        ("dt", datetime.date(9999, 12, 31), None, "whole"),
        ("dt", "31.02.2007", "31.02.2007", None),  # no such day: kept as text
        ("tm", datetime.time(0, 0), None, "whole"),
        ("tm", datetime.time(23, 59, 59), None, "whole"),
        ("tm", datetime.time(9, 30, 15, 500000), datetime.time(9, 30, 15), None),
        ("ts", datetime.datetime(2026, 12, 9, 14, 5, 7), None, "whole"),
        ("f", b"File-Path: report.txt\r\n\r\ncontents", None, None),
        ("s", None, None, None),
    ]

    def test_every_value_type_comes_back_typed(self):
        for field, value, expected, index in self.ROUND_TRIPS:
            with self.subTest(field=field, value=value):
                number = self.conn.add("every", {field: value, "g": {"x": 1}})
                document = self.conn.get("every", number)
                want = value if expected is None else expected
                self.assertEqual(document[field], want)
                self.assertEqual(type(document[field]), type(want))
                self.assertEqual(document["g"], {"x": 1, "y": None})
                if index is not None:
                    found = self.conn.select("every", dovrel.Cond("%s.%s" % (field, index), "=",
                                                                  want))
                    self.assertIn(number, found.numbers)

    def test_only_and_group_fields(self):
        number = self.conn.add("every", {"s": "a", "i": 5, "g": {"x": 2, "y": "why"}})
        self.assertEqual(self.conn.get("every", number, only=["i", "g.y"]),
                         {"i": 5, "g": {"y": "why"}})
        self.assertEqual(self.conn.get("every", number, only="g"), {"g": {"x": 2, "y": "why"}})
        # Names do not depend on case, as in the query language.
        number = self.conn.add("Every", {"S": "b", "G": {"X": 3}})
        self.assertEqual(self.conn.get("EVERY", number, only=["s", "G.x"]),
                         {"s": "b", "g": {"x": 3}})

    def test_structure(self):
        structure = self.conn.structure("every")
        self.assertEqual(structure.alias, "Every type")
        self.assertEqual([(f.name, f.type, f.nullable) for f in structure.fields.values()][:3],
                         [("s", "text", True), ("b", "binary", True), ("i", "int64", True)])
        self.assertEqual(structure.fields["s"].indexes, [("w", "words"), ("whole", "whole")])
        self.assertEqual(list(structure.groups["g"].fields), ["x", "y"])
        self.assertIn("every", self.conn.tables())


class DocumentsTest(ServerTestCase):
    def setUp(self):
        super().setUp()
        self.conn.execute("drop table books;") if "books" in self.conn.tables() else None
        self.conn.forget_structures()
        self.conn.execute(BOOKS)
        self.conn.add_many("books", [
            {"title": "War and Peace", "author": "Tolstoy", "year": 1869},
            {"title": "Anna Karenina", "author": "Tolstoy", "year": 1878},
            {"title": "Crime and Punishment", "author": "Dostoevsky", "year": 1866}])

    def test_select_options(self):
        Cond = dovrel.Cond
        tolstoy = Cond("author.whole", "=", "Tolstoy")
        cases = [
            (dict(where=tolstoy), 2, 2, [0, 1]),
            (dict(where=tolstoy | Cond("title.words", "=", "crime")), 3, 3, [0, 1, 2]),
            (dict(where=tolstoy & Cond("year.whole", "<", 1870)), 1, 1, [0]),
            (dict(where=(tolstoy | Cond("title.words", "=", "crime")) & Cond("year.whole", "<", 1870)),
             2, 2, [0, 2]),
            (dict(where=functools.reduce(operator.or_, [Cond("year.whole", "=", y)
                                                        for y in range(1600, 2000)])), 3, 3, [0, 1, 2]),
            (dict(where=Cond("year.whole", ">", 1867) & "title.words = 'and'"), 1, 1, [0]),
            (dict(where=Cond("year.whole", "range", 1860, 1870), order_by="year.whole", desc=True),
             2, 2, [0, 2]),
            (dict(where="year.whole >= '1800'", order_by="year.whole", limit=2), 2, 3, [2, 0]),
            (dict(where="year.whole >= '1800'", order_by="year.whole", offset=2), 1, 3, [1]),
            (dict(where=Cond("title.words", "prefix", "pun")), 1, 1, [2]),
            (dict(where=Cond("author.whole", "=", "Nobody")), 0, 0, []),
        ]
        for options, count, found, numbers in cases:
            with self.subTest(options=options):
                result = self.conn.select("books", **options)
                self.assertEqual((result.count, result.found, result.numbers),
                                 (count, found, numbers))
        self.assertEqual(self.conn.count("books", tolstoy), 2)

    def test_replace_delete_meta_and_modes(self):
        new = self.conn.replace("books", 2, {"title": "The Idiot", "author": "Dostoevsky",
                                             "year": 1869})
        self.assertEqual(new, 3)
        self.assertEqual(self.conn.meta("books", 2)["replacedby"], 3)
        meta = self.conn.meta("books", 3)
        self.assertEqual(meta["usercreated"], "admin")
        self.assertIsInstance(meta["creationtime"], datetime.datetime)
        self.conn.delete("books", [0, 1])
        self.conn.delete("books", 0, if_actual=True)
        every = dovrel.Cond("year.whole", ">", 0)
        self.assertEqual(self.conn.select("books", every).numbers, [3])
        self.assertEqual(self.conn.select("books", every, mode="only updated").numbers, [0, 1, 2])
        self.assertEqual(self.conn.count("books", every, mode="including updated"), 4)
        self.assertEqual(self.conn.length("books"), (1, 4))
        self.conn.commit()

    def test_a_table_made_again_by_another_client_is_read_again(self):
        self.assertEqual(self.conn.get("books", 0)["year"], 1869)  # the structure is kept
        with self.server.connect() as other:
            other.execute("drop table books;")
            other.execute(BOOKS.replace("};\n};",
                                        "};\n  field pages alias '' : int64 null { };\n};"))
        document = {"title": "t", "author": "a", "year": 1, "pages": 300}
        self.assertEqual(self.conn.add("books", document), 0)
        self.assertEqual(self.conn.add_many("books", [document]), [1])
        self.assertEqual(self.conn.get("books", 1)["pages"], 300)
        with self.server.connect() as other:
            other.execute("drop table books;")
            other.execute(BOOKS)
            other.add("books", {"title": "t", "author": "a", "year": 2})
        # The kept structure still has pages, so the server refuses the document; the
        # structure is read again after a refusal.
        with self.assertRaises(dovrel.QueryError) as caught:
            self.conn.add("books", document)
        self.assertIn("отсутствует поле верхнего уровня pages", caught.exception.message)
        with self.assertRaises(dovrel.DataError):
            self.conn.add("books", document)
        self.assertEqual(self.conn.get("books", 0), {"title": "t", "author": "a", "year": 2})

    def test_add_many_reads_a_structure_again_only_between_requests(self):
        self.conn.execute("create table notes alias '' { field n alias '' : date null { }; };")
        self.conn.add("notes", {"n": None})
        with self.server.connect() as other:
            other.execute("drop table notes;")
            other.execute("create table notes alias '' { field n alias '' : int64 null { }; };")
        # The first goes out built from the kept structure while the second, which only the
        # new one admits, is built; the structure is read after the first one's answer.
        self.assertEqual(self.conn.add_many("notes", [{"n": None}, {"n": 5}], batch=1), [0, 1])
        self.assertEqual(self.conn.get("notes", 1), {"n": 5})

    def test_add_many_interrupted_while_a_request_is_out(self):
        def documents():
            yield {"title": "t", "author": "a", "year": 1}
            raise KeyboardInterrupt  # while the server runs the first request

        with self.assertRaises(KeyboardInterrupt):
            self.conn.add_many("books", documents(), batch=1)
        self.assertEqual(self.conn.execute("commit;"), "OK\n")

    def test_add_many_batches(self):
        numbers = self.conn.add_many(
            "books", ({"title": "T%d" % k, "author": "A", "year": k} for k in range(25)), batch=10)
        self.assertEqual(numbers, list(range(3, 28)))
        self.assertEqual(self.conn.count("books", dovrel.Cond("author.whole", "=", "A")), 25)

    def test_add_many_stops_at_the_refused_document(self):
        documents = [{"title": "ok", "author": "B", "year": k} for k in range(5)]
        documents[3]["year"] = "not a number"  # a str goes to the server, which refuses it
        documents[2]["title"] = "two\r\nlines"  # in the refused one's request, before it
        with self.assertRaises(dovrel.BatchError) as caught:
            self.conn.add_many("books", documents, batch=2)
        error = caught.exception
        self.assertEqual((error.numbers, error.index, error.unnumbered), ([3, 4], 3, 1))
        self.assertIn("year", error.message)
        documents[3]["year"] = 1.5  # refused by the library: nothing of its batch is sent
        with self.assertRaises(dovrel.DataError) as caught:
            self.conn.add_many("books", documents, batch=2)
        self.assertEqual((caught.exception.numbers, caught.exception.index), ([6, 7], 3))
        self.assertEqual(self.conn.length("books"), (8, 8))


class ErrorsTest(ServerTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        with cls.server.connect() as conn:
            conn.execute(BOOKS)

    def test_refusals(self):
        good = {"title": "t", "author": "a", "year": 1}
        # action, exception, text in the message, (line, column) of a server refusal
        cases = [
            (lambda c: c.execute("select from books where title.words < 'b';"), dovrel.QueryError,
             "операция '<' применима только к индексам whole и whole-alphanum", (3, 42)),
            (lambda c: c.execute("get table names;\nget table names;"), dovrel.QueryError,
             "ожидается конец запроса получено get", (4, 4)),
            (lambda c: c.add("nope", good), dovrel.QueryError, "таблица nope не найдена",
             (3, 25)),
            (lambda c: c.get("books", 99), dovrel.QueryError,
             "документ номер 99 отсутствует в таблице books", (3, 33)),
            (lambda c: c.add("books", dict(good, year="1.5")), dovrel.QueryError,
             "значение 1.5 поля year не соответствует типу поля", None),
            (lambda c: c.add("books", dict(good, year=1.5)), dovrel.DataError,
             "books.year: a float does not fit the int64 field", None),
            (lambda c: c.add("books", dict(good, year=True)), dovrel.DataError, "bool", None),
            (lambda c: c.add("books", dict(good, year=2 ** 63)), dovrel.DataError,
             "outside the int64 range", None),
            (lambda c: c.add("books", dict(good, pages=3)), dovrel.DataError,
             "table books has no field or group 'pages'", None),
            (lambda c: c.add("books", dict(good, Title="u")), dovrel.DataError,
             "'Title' is given twice", None),
            (lambda c: c.add("books", {"title": "t", "author": "a"}), dovrel.DataError,
             "no value for books.year", None),
            (lambda c: c.add("books", dict(good, year=None)), dovrel.DataError,
             "books.year may not be null", None),
            (lambda c: c.add("books", dict(good, title="emoji \U0001F600")),
             dovrel.EncodingError, "U+1F600", None),
            (lambda c: c.add("books; drop table books", good), dovrel.DataError, "not a name",
             None),
            (lambda c: c.select("books", "title.words = 'é'"), dovrel.EncodingError,
             "line 1, column 16", None),
            (lambda c: c.select("books", dovrel.Cond("year.whole", "~", 1)), dovrel.DataError,
             "unknown search operator", None),
        ]
        for action, exception, text, place in cases:
            with self.subTest(text=text):
                with self.assertRaises(exception) as caught:
                    action(self.conn)
                self.assertIn(text, str(caught.exception))
                if place is not None:
                    self.assertEqual((caught.exception.line, caught.exception.column), place)
                    self.assertIn(text, caught.exception.message)
        # Nothing refused by the library reached the server.
        self.assertEqual(self.conn.length("books"), (0, 0))

    def test_login_refusals(self):
        for user, text in [(("admin", "wrong"), "неверный пароль"),
                           (("nobody", "x"), "имя nobody не принадлежит ни роли, ни пользователю"),
                           (GUEST, "недостаточно прав")]:
            with self.subTest(user=user[0]), self.server.connect(user) as conn:
                with self.assertRaises(dovrel.QueryError) as caught:
                    conn.execute("create table x alias '' { };")
                self.assertIn(text, caught.exception.message)

    def test_closed_connection(self):
        self.conn.close()
        with self.assertRaises(dovrel.InterfaceError):
            self.conn.tables()

    def test_an_interrupted_request_does_not_leave_its_answer_to_the_next(self):
        original = dovrel.wire.Link.read_answer

        def interrupted(link, *args):
            dovrel.wire.Link.read_answer = original
            raise KeyboardInterrupt

        dovrel.wire.Link.read_answer = interrupted
        self.addCleanup(setattr, dovrel.wire.Link, "read_answer", original)
        with self.assertRaises(KeyboardInterrupt):
            self.conn.execute("get table names;")  # sent; its answer never read
        self.assertEqual(self.conn.execute("commit;"), "OK\n")

    def test_quiet_requests(self):
        with self.server.connect(quiet=True) as conn:
            self.assertEqual(conn.execute("get table names;"), "OK\n1\nbooks\n")
            with self.assertRaises(dovrel.QueryError):
                conn.execute("get table nope structure;")
            self.assertEqual(conn.tables(), ["books"])


class CodePageTest(ServerTestCase):
    def test_cyrillic_added_from_python_is_found_by_a_words_search(self):
        self.conn.execute("create table texts alias 'Тексты' { field body alias 'Текст' : text "
                          "{ index w 'words'; }; };")
        self.conn.add("texts", {"body": "Война и мир"})
        self.conn.add("texts", {"body": "Ёжик в тумане"})
        self.assertEqual(self.conn.select("texts", dovrel.Cond("body.w", "=", "МИР")).numbers, [0])
        self.assertEqual(self.conn.select("texts", dovrel.Cond("body.w", "=", "ежик")).numbers,
                         [1])
        # The same search typed as text, counted string re-counted in characters.
        self.assertEqual(self.conn.execute("select from texts where body.w = #5#война#;"),
                         "OK\n1\n0\n")
        self.assertEqual(self.conn.execute("get document 0 from table texts;"),
                         "OK\ndocument {\n   field body = #11#Война и мир#;\n};\n")
        self.assertEqual(self.conn.structure("texts").alias, "Тексты")
        # Keys are stored in the value code page, upper case.
        self.assertIn("#3#МИР#", self.conn.execute("get index texts.body.w from 0 length 9;"))

    def test_password_after_identified_by_goes_in_the_login_code_page(self):
        self.conn.execute("create user ivan alias 'Иван' kind grantee account unlock "
                          "identified by 'пароль';")
        with self.server.connect(("ivan", "пароль")) as conn:
            self.assertEqual(conn.tables(), [])


class ReadmeTest(ServerTestCase):
    def test_the_readme_example_runs(self):
        readme = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                              "README.md")
        with open(readme, encoding="utf-8") as f:
            example = f.read().split("```python\n", 1)[1].split("```", 1)[0]
        login = 'port=8888, user="admin", password="admin"'
        self.assertIn(login, example)
        example = example.replace(login, 'port=%d, user="admin", password="secret"'
                                  % self.server.port)
        printed = io.StringIO()
        with contextlib.redirect_stdout(printed):
            exec(compile(example, "README.md", "exec"), {})
        self.assertRegex(printed.getvalue(), r"^1 \[0\] \{'title': 'Война и мир', 'year': 1869, "
                                             r"'added': datetime\.date\(\d+, \d+, \d+\)\}\n$")


class RestartTest(unittest.TestCase):
    def setUp(self):
        self.server = ServerInstance().start()
        self.addCleanup(self.server.remove)

    def test_dropped_connection(self):
        conn = self.server.connect(timeout=5)
        self.addCleanup(conn.close)
        conn.execute(BOOKS)
        self.server.stop()  # SIGKILL: nothing answers any more
        with self.assertRaises(dovrel.OperationalError) as caught:
            conn.tables()
        self.assertIn("cannot connect", str(caught.exception))
        # A connection the server closed between two requests is opened again.
        self.server.start(self.server.port)
        self.assertEqual(conn.tables(), ["books"])

    def test_connection_ends_before_the_answer(self):
        conn = self.server.connect(timeout=5)
        self.addCleanup(conn.close)
        # halt has no answer: the server saves, closes the connection and ends.
        with self.assertRaises(dovrel.ConnectionLost) as caught:
            conn.execute("halt;")
        self.assertIn("may or may not have run", str(caught.exception))
        self.assertEqual(self.server.process.wait(10), 0)


class PoolTest(ServerTestCase):
    def test_threads_share_a_bounded_pool(self):
        self.conn.execute(BOOKS)
        opened = []
        original = dovrel.connection.Link.__init__

        def counting(link, *args):
            opened.append(threading.get_ident())
            original(link, *args)

        dovrel.connection.Link.__init__ = counting
        self.addCleanup(setattr, dovrel.connection.Link, "__init__", original)
        pool = dovrel.Pool(3, port=self.server.port, user="admin", password="secret")
        self.addCleanup(pool.close)
        numbers = []
        errors = []

        def work(k):
            try:
                for j in range(20):
                    with pool.connection() as conn:
                        numbers.append(conn.add("books", {"title": "t", "author": "w%d" % k,
                                                          "year": j}))
            except Exception as e:  # reported below
                errors.append(e)

        threads = [threading.Thread(target=work, args=(k,)) for k in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual(errors, [])
        self.assertEqual(sorted(numbers), list(range(160)))
        self.assertLessEqual(len(opened), 3)
        self.assertEqual(self.conn.count("books", dovrel.Cond("author.whole", "=", "w5")), 20)

    def test_broken_connections_are_dropped_and_waits_are_bounded(self):
        pool = dovrel.Pool(1, wait=0.2, port=self.server.port, user="admin", password="secret")
        self.addCleanup(pool.close)
        with pool.connection() as conn:
            first = conn
            with self.assertRaises(dovrel.InterfaceError):
                pool.acquire()  # the only connection is out
        with self.assertRaises(dovrel.ConnectionLost):
            with pool.connection() as conn:
                self.assertIs(conn, first)
                raise dovrel.ConnectionLost("the stream failed under the connection")
        with pool.connection() as conn:
            self.assertIsNot(conn, first)
            self.assertEqual(conn.tables(), [])
        pool.close()
        with self.assertRaises(dovrel.InterfaceError):
            pool.acquire()


if __name__ == "__main__":
    unittest.main()
