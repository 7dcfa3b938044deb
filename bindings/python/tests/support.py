"""Test support: the scripted server program, stream bodies and a base directory."""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", ".."))
PACKAGE_DIR = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))

os.environ.setdefault("VEXA_CORE_LIBRARY", os.path.join(ROOT, "build", "libvexa_core.so"))
SERVER = os.environ.get("VEXA_SCRIPTED_SERVER", os.path.join(ROOT, "build", "tests", "vexa_scripted_server"))

# The package under test is the source tree, not an installed copy.
if PACKAGE_DIR not in sys.path:
    sys.path.insert(0, PACKAGE_DIR)

for name in ("no_proxy", "NO_PROXY"):
    os.environ[name] = ",".join(filter(None, [os.environ.get(name, ""), "127.0.0.1", "localhost"]))


def delta_chunk(delta, finish=None):
    choice = {"index": 0, "delta": delta}
    if finish:
        choice["finish_reason"] = finish
    return json.dumps({"id": "resp-test", "object": "chat.completion.chunk", "choices": [choice]})


def answer(pieces, reasoning=(), **extra):
    """A streamed answer made of the given pieces."""
    chunks = [delta_chunk({"reasoning_content": r}) for r in reasoning]
    chunks += [delta_chunk({"content": p}) for p in pieces]
    chunks.append(delta_chunk({}, "stop"))
    return dict({"sse": chunks}, **extra)


def tool_call(name, arguments, call_id="call_1"):
    """A streamed answer that asks for one tool call."""
    call = {"index": 0, "id": call_id, "type": "function",
            "function": {"name": name, "arguments": json.dumps(arguments)}}
    return {"sse": [delta_chunk({"tool_calls": [call]}), delta_chunk({}, "tool_calls")]}


class ScriptedServer:
    """The scripted server program, run for one test."""

    def __init__(self, responses, fallback=None, directory=None):
        self._dir = directory or tempfile.mkdtemp(prefix="vexa_py_server_")
        self._own_dir = directory is None
        script = {"responses": responses}
        if fallback is not None:
            script["fallback"] = fallback
        self._script = os.path.join(self._dir, "script.json")
        self._out = os.path.join(self._dir, "requests.json")
        with open(self._script, "w", encoding="utf-8") as f:
            json.dump(script, f)
        self._proc = subprocess.Popen([SERVER, self._script, "--requests", self._out],
                                      stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        line = self._proc.stdout.readline()
        if not line.startswith("PORT "):
            self._proc.kill()
            raise RuntimeError("scripted server did not start: %r" % line)
        self.port = int(line.split()[1])
        self._requests = None

    @property
    def base_url(self):
        return "http://127.0.0.1:%d/v1" % self.port

    def stop(self):
        """Stops the server and returns the recorded requests."""
        if self._requests is None:
            self._proc.stdin.close()
            self._proc.wait(timeout=30)
            self._proc.stdout.close()
            with open(self._out, encoding="utf-8") as f:
                self._requests = json.load(f)
            if self._own_dir:
                shutil.rmtree(self._dir, ignore_errors=True)
        return self._requests

    def request_bodies(self):
        return [json.loads(r["body"]) for r in self.stop()]


def write_agent_config(base, base_url, **agent_overrides):
    """<base>/config/agent_config.json for a server at base_url, with every key the tests rely on."""
    agent = {"name": "Vexa", "max_tool_rounds": 0, "orchestration_enabled": False, "max_parallel_tasks": 4,
             "compression_threshold": 8, "compression_keep_recent": 4}
    agent.update(agent_overrides)
    config = {
        "llm": {"backend": "openai", "base_url": base_url, "api_key": "test-key", "model": "test-model",
                "temperature": 0.0, "max_tokens": 256, "timeout_seconds": 10},
        "agent": agent,
        "paths": {"conversations_dir": "./data/conversations",
                  "conversations_full_dir": "./data/conversations_full"},
        "perf": {"enabled": True},
    }
    os.makedirs(os.path.join(base, "config"), exist_ok=True)
    with open(os.path.join(base, "config", "agent_config.json"), "w", encoding="utf-8") as f:
        json.dump(config, f, indent=4)


class ServerTestCase(unittest.TestCase):
    """A temporary base directory per test; start_server() writes its configuration."""

    def setUp(self):
        self.base = tempfile.mkdtemp(prefix="vexa_py_test_")
        self.servers = []

    def tearDown(self):
        for server in self.servers:
            server.stop()
        shutil.rmtree(self.base, ignore_errors=True)

    def start_server(self, responses, fallback=None, **agent_overrides):
        server = ScriptedServer(responses, fallback)
        self.servers.append(server)
        write_agent_config(self.base, server.base_url, **agent_overrides)
        return server

    def session(self, **kwargs):
        import vexa_core
        # No memory files and no extraction: the requests stay exactly what the turn sends.
        kwargs.setdefault("policy", vexa_core.POLICY_NO_LOCAL_MEMORY)
        return vexa_core.Session(base_dir=self.base, **kwargs)
