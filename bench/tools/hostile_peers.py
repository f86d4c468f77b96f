#!/usr/bin/env python3
"""Hostile peers against a running dovrel, with the server's memory, threads and descriptors.

usage: hostile_peers.py PID PORT

1. bodies: 4 connections, each a header announcing a 4,000,000,000-byte body, then as much
   as it can of 512 MiB pushed as fast as the server takes it;
2. crowd: 500 idle peers and 100 peers sending half a header (from 127.0.0.3), a peer (127.0.0.2) connecting and
   resetting in a loop, while an honest client asks (a new connection per request) 100 times;
3. the same figures after they left.
Prints VmRSS/VmHWM (kB), threads, descriptors after each step, and the honest client's
latency (median, 95th percentile, max).
"""
import os, socket, struct, sys, threading, time, zlib

pid, port = int(sys.argv[1]), int(sys.argv[2])


def figures(what):
    status = open(f"/proc/{pid}/status").read().split("\n")
    get = lambda k: next(l.split()[1] for l in status if l.startswith(k))
    fds = len(os.listdir(f"/proc/{pid}/fd"))
    print(f"{what}: VmRSS {get('VmRSS:')} kB, VmHWM {get('VmHWM:')} kB, threads {get('Threads:')}, descriptors {fds}", flush=True)


def frame(body):
    return b"Format: TORV5\r\nContent-Length: %d\r\nChecksum: %08X\r\n\r\n" % (len(body), zlib.crc32(body)) + body


def push_big():
    s = socket.create_connection(("127.0.0.1", port))
    s.sendall(b"Format: TORV5\r\nContent-Length: 4000000000\r\nChecksum: 00000000\r\n\r\n")
    chunk = b"x" * (1 << 20)
    sent = 0
    try:
        while sent < 512 << 20:
            s.sendall(chunk)
            sent += len(chunk)
    except OSError:
        pass
    s.close()
    return sent


figures("baseline")
start = time.time()
threads = [threading.Thread(target=push_big) for _ in range(4)]
for t in threads: t.start()
for t in threads: t.join()
print(f"4 x (4,000,000,000-byte header + up to 512 MiB) done in {time.time()-start:.2f} s", flush=True)
figures("after the large bodies")

idle = []
for _ in range(500):
    idle.append(socket.create_connection(("127.0.0.1", port), source_address=("127.0.0.3", 0)))
slow = []
for _ in range(100):
    s = socket.create_connection(("127.0.0.1", port), source_address=("127.0.0.3", 0))
    s.sendall(b"Format: TORV5\r\nCont")
    slow.append(s)
stop = False
resets = [0]


def resetter():
    while not stop:
        try:
            s = socket.create_connection(("127.0.0.1", port), source_address=("127.0.0.2", 0))
            s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            s.close()
            resets[0] += 1
        except OSError:
            time.sleep(0.01)


rt = threading.Thread(target=resetter)
rt.start()
time.sleep(45)  # admission takes the crowd at 16 connections a second
figures("crowd held")
lat = []
request = frame(b"User: admin\r\nPassword: pw\r\nget users;")
for _ in range(100):
    t0 = time.time()
    c = socket.create_connection(("127.0.0.1", port))
    c.sendall(request)
    data = b""
    while True:
        more = c.recv(65536)
        if not more: break
        data += more
        head, sep, body = data.partition(b"\r\n\r\n")
        if sep and b"Content-Length: " in head:
            length = int(head.split(b"Content-Length: ")[1].split(b"\r\n")[0])
            if len(body) >= length: break
    c.close()
    lat.append((time.time() - t0) * 1000)
stop = True
rt.join()
lat.sort()
print(f"honest client: 100 requests, median {lat[50]:.0f} ms, p95 {lat[95]:.0f} ms, max {lat[-1]:.0f} ms; resets meanwhile {resets[0]}", flush=True)
figures("crowd still held")
for s in idle + slow: s.close()
time.sleep(3)
figures("after they left")
