"""The package installs offline, with pip alone, from the checkout: into a folder of its
own and into a virtual environment, as the README says."""

import os
import subprocess
import sys
import tempfile
import unittest

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
OFFLINE = ["install", "--no-build-isolation", "--no-index", "--disable-pip-version-check"]


def _run(command, **options):
    return subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, **options)


class InstallTest(unittest.TestCase):
    def check_import(self, python, where, **options):
        check = _run([python, "-c", "import dovrel; print(dovrel.__file__, dovrel.__version__)"],
                     **options)
        self.assertEqual(check.returncode, 0, check.stdout.decode(errors="replace"))
        found, version = check.stdout.decode().split()
        self.assertTrue(found.startswith(where), found)
        self.assertEqual(version, "0.1.0")

    def test_offline_install_into_a_folder(self):
        if _run([sys.executable, "-m", "pip", "--version"]).returncode != 0:
            self.skipTest("pip is not installed for %s" % sys.executable)
        with tempfile.TemporaryDirectory() as target:
            install = _run([sys.executable, "-m", "pip"] + OFFLINE + ["--target", target, SOURCE])
            self.assertEqual(install.returncode, 0, install.stdout.decode(errors="replace"))
            self.check_import(sys.executable, target, cwd=target,
                              env=dict(os.environ, PYTHONPATH=target))

    def test_offline_install_into_a_virtual_environment(self):
        with tempfile.TemporaryDirectory() as folder:
            env = os.path.join(folder, "env")
            made = _run([sys.executable, "-m", "venv", env])
            if made.returncode != 0:
                self.skipTest("no virtual environments here (python3-venv): %s"
                              % made.stdout.decode(errors="replace").strip()[-200:])
            pip = os.path.join(env, "bin", "pip")
            install = _run([pip] + OFFLINE + [SOURCE], cwd=folder)
            self.assertEqual(install.returncode, 0, install.stdout.decode(errors="replace"))
            clean = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
            self.check_import(os.path.join(env, "bin", "python"), env, cwd=folder, env=clean)
