"""The package installed into a fresh virtual environment, as the README shows it."""

import os
import shutil
import subprocess
import sys
import tempfile
import textwrap
import unittest

from .support import PACKAGE_DIR, ScriptedServer, answer, write_agent_config

SCRIPT = textwrap.dedent("""\
    import os, vexa_core
    with vexa_core.Session(base_dir=os.environ["APP_DIR"], policy=vexa_core.POLICY_NO_LOCAL_MEMORY) as s:
        for event in s.stream("Hello!"):
            if isinstance(event, vexa_core.ContentDelta):
                print(event.text, end="", flush=True)
    """)


class InstallTest(unittest.TestCase):
    def test_pip_install_into_a_venv_and_stream_a_turn(self):
        work = tempfile.mkdtemp(prefix="vexa_py_install_")
        self.addCleanup(shutil.rmtree, work, True)
        # Build from a copy so the source tree gets no build/ or egg-info litter.
        source = os.path.join(work, "src")
        shutil.copytree(PACKAGE_DIR, source, ignore=shutil.ignore_patterns("tests", "__pycache__", "build",
                                                                           "*.egg-info"))
        venv = os.path.join(work, ".venv")
        subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", venv], check=True)
        python = os.path.join(venv, "bin", "python")
        pip = subprocess.run([os.path.join(venv, "bin", "pip"), "install", "--no-build-isolation", "--no-index",
                              "--disable-pip-version-check", "-q", source],
                             capture_output=True, text=True)
        self.assertEqual(pip.returncode, 0, pip.stdout + pip.stderr)

        server = ScriptedServer([answer(["Hello ", "from ", "a venv"])])
        self.addCleanup(server.stop)
        app = os.path.join(work, "app")
        write_agent_config(app, server.base_url)
        with open(os.path.join(work, "hello.py"), "w", encoding="utf-8") as f:
            f.write(SCRIPT)
        env = dict(os.environ, APP_DIR=app)
        env.pop("PYTHONPATH", None)
        run = subprocess.run([python, "hello.py"], cwd=work, env=env, capture_output=True, text=True, timeout=60)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual(run.stdout, "Hello from a venv")
        where = subprocess.run([python, "-c", "import vexa_core; print(vexa_core.__file__)"], cwd=work, env=env,
                               capture_output=True, text=True)
        self.assertTrue(where.stdout.startswith(venv), where.stdout + where.stderr)


if __name__ == "__main__":
    unittest.main()
