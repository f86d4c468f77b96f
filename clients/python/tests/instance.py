"""A dovrel server in a temporary instance directory for the client's tests.

The directory gets DATA/, LOGS/, a symbolic link to the built server (from DOVREL_BIN_DIR),
a permission list admitting 127.0.0.1 and a security file made by the built secmigrate
from a user list: an administrator and a grantee. The server is started on a free port and
is ready once it accepts connections; it is killed and the directory removed at the end.
Tests without DOVREL_BIN_DIR are skipped.
"""

import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest

ADMIN = ("admin", "secret")
GUEST = ("guest", "guest")


def bin_dir():
    directory = os.environ.get("DOVREL_BIN_DIR")
    if not directory:
        raise unittest.SkipTest("DOVREL_BIN_DIR is not set: no server to test against")
    return directory


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class ServerInstance:
    def __init__(self):
        binaries = bin_dir()
        self.directory = tempfile.mkdtemp(prefix="dovrel-py-")
        self.process = None
        self.port = None
        os.mkdir(os.path.join(self.directory, "DATA"))
        os.mkdir(os.path.join(self.directory, "LOGS"))
        os.symlink(os.path.join(binaries, "dovrel"), os.path.join(self.directory, "dovrel"))
        with open(os.path.join(self.directory, "network_permissions.txt"), "wb") as f:
            f.write(b"127.0.0.1\r\n")
        users = os.path.join(self.directory, "users.txt")
        with open(users, "w") as f:
            f.write("User: %s\nPassword: %s\nLevel: 4\n" % ADMIN)
            f.write("User: %s\nPassword: %s\nLevel: 1\n" % GUEST)
        run = subprocess.run([os.path.join(binaries, "secmigrate")], cwd=self.directory,
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        os.remove(users)
        if run.returncode != 0:
            self.remove()
            raise RuntimeError("secmigrate failed: %r" % run.stdout)

    def start(self, port=None):
        """Starts the server and waits until it accepts connections (at most 10 s)."""
        self.port = port or free_port()
        self.console = open(os.path.join(self.directory, "console.txt"), "ab")
        self.process = subprocess.Popen(
            [os.path.join(self.directory, "dovrel"), "-port:%d" % self.port],
            stdin=subprocess.DEVNULL, stdout=self.console, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError("the server ended at start: %s" % self.console_text())
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return self
            except OSError:
                time.sleep(0.01)
        raise RuntimeError("the server does not accept connections: %s" % self.console_text())

    def stop(self, sig=signal.SIGKILL):
        """Sends the signal and waits for the end; the exit status."""
        if self.process is None:
            return None
        self.process.send_signal(sig)
        status = self.process.wait(10)
        self.process = None
        self.console.close()
        return status

    def console_text(self):
        with open(os.path.join(self.directory, "console.txt"), "rb") as f:
            return f.read().decode("utf-8", errors="replace")

    def remove(self):
        if self.process is not None:
            self.stop()
        shutil.rmtree(self.directory, ignore_errors=True)

    def connect(self, user=ADMIN, **options):
        import dovrel
        return dovrel.connect(port=self.port, user=user[0], password=user[1], **options)


class ServerTestCase(unittest.TestCase):
    """One server for the whole class; ``self.conn`` an administrator's connection."""

    @classmethod
    def setUpClass(cls):
        cls.server = ServerInstance().start()

    @classmethod
    def tearDownClass(cls):
        cls.server.remove()

    def setUp(self):
        self.conn = self.server.connect()
        self.addCleanup(self.conn.close)

    def run(self, result=None):
        failures = len(result.failures) + len(result.errors) if result else 0
        outcome = super().run(result)
        if result and len(result.failures) + len(result.errors) > failures:
            print("\n--- server console ---\n" + self.server.console_text())
        return outcome
