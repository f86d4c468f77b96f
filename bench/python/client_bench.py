#!/usr/bin/env python3
"""The Python client's cost per request against a temporary server of this build.

    python3 bench/python/client_bench.py [--bin build/bin] [--package clients/python]
        [--docs 20000] [--requests 3000] [--rounds 5]

Loads a table of --docs documents with add_many (documents per second), then times
--requests requests of each kind, --rounds times: the trivial request (get table docs
length), get (one document by a number, typed), select (one whole-index key) and count.
Prints, per kind, the median over the rounds of the wall time and of this process's CPU
time per request (the client's own share; the server's is not in it). --package names
the folder holding the dovrel package, so two versions can be compared in one run.
"""

import argparse
import os
import random
import statistics
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

TABLE = """create table docs alias 'Documents' {
  field title alias '' : text { index words 'words'; };
  field year alias '' : int64 { index whole 'whole'; };
  field added alias '' : date null { };
};"""


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--bin", default=os.path.join(ROOT, "build", "bin"))
    parser.add_argument("--package", default=os.path.join(ROOT, "clients", "python"))
    parser.add_argument("--docs", type=int, default=20000)
    parser.add_argument("--requests", type=int, default=3000)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    os.environ["DOVREL_BIN_DIR"] = os.path.abspath(args.bin)
    sys.path.insert(0, os.path.abspath(args.package))
    sys.path.insert(0, os.path.join(ROOT, "clients", "python", "tests"))
    import datetime
    import dovrel
    from instance import ServerInstance

    server = ServerInstance().start()
    try:
        with server.connect() as conn:
            conn.execute(TABLE)
            day = datetime.date(2024, 1, 1)
            documents = [{"title": "document %d about the year %d" % (k, 1900 + k % 120),
                          "year": 1900 + k % 120, "added": day} for k in range(args.docs)]
            start = time.perf_counter()
            conn.add_many("docs", documents)
            ingest = args.docs / (time.perf_counter() - start)
            picks = random.Random(7).choices(range(args.docs), k=args.requests)
            kinds = [
                ("trivial", lambda k: conn.execute_raw(b"get table docs length;")),
                ("get", lambda k: conn.get("docs", k)),
                ("select", lambda k: conn.select("docs", dovrel.Cond("year.whole", "=",
                                                                     1900 + k % 120), limit=10)),
                ("count", lambda k: conn.count("docs", dovrel.Cond("title.words", "=",
                                                                   "%d" % k))),
            ]
            print("package %s, %d documents, add_many %.0f documents/s"
                  % (dovrel.__file__, args.docs, ingest))
            print("%-8s %12s %12s" % ("kind", "wall us", "client CPU us"))
            for name, call in kinds:
                walls, cpus = [], []
                for _ in range(args.rounds):
                    wall, cpu = time.perf_counter(), time.process_time()
                    for k in picks:
                        call(k)
                    walls.append((time.perf_counter() - wall) / len(picks) * 1e6)
                    cpus.append((time.process_time() - cpu) / len(picks) * 1e6)
                print("%-8s %12.1f %12.1f" % (name, statistics.median(walls),
                                             statistics.median(cpus)))
    finally:
        server.remove()


if __name__ == "__main__":
    main()
