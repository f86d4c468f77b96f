"""The package installs offline, with pip alone, from the checkout."""

import os
import subprocess
import sys
import tempfile
import unittest

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


class InstallTest(unittest.TestCase):
    def test_offline_install_with_pip(self):
        if subprocess.run([sys.executable, "-m", "pip", "--version"], stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL).returncode != 0:
            self.skipTest("pip is not installed for %s" % sys.executable)
        with tempfile.TemporaryDirectory() as target:
            install = subprocess.run(
                [sys.executable, "-m", "pip", "install", "--no-build-isolation", "--no-index",
                 "--disable-pip-version-check", "--target", target, SOURCE],
                stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
            self.assertEqual(install.returncode, 0, install.stdout.decode(errors="replace"))
            check = subprocess.run(
                [sys.executable, "-c", "import dovrel; print(dovrel.__file__, dovrel.__version__)"],
                cwd=target, env=dict(os.environ, PYTHONPATH=target), stdout=subprocess.PIPE)
            self.assertEqual(check.returncode, 0)
            where, version = check.stdout.decode().split()
            self.assertTrue(where.startswith(target), where)
            self.assertEqual(version, "0.1.0")
