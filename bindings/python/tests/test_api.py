"""The rest of the session API, errors and the record layout check."""

import ctypes
import importlib
import json
import os
import unittest

from .support import ServerTestCase, answer

import vexa_core
from vexa_core import _native, VexaCoreError


class LayoutTest(unittest.TestCase):
    def test_declared_records_match_the_header(self):
        _native.check_layouts()
        self.assertEqual(ctypes.sizeof(_native.VexaCoreEvent), 72)

    def test_a_drifted_record_is_reported(self):
        class VexaCoreEvent(ctypes.Structure):  # the segment field forgotten
            _fields_ = [f for f in _native.VexaCoreEvent._fields_ if f[0] != "segment"]

        structures = dict(_native.STRUCTURES, VexaCoreEvent=VexaCoreEvent)
        with self.assertRaises(VexaCoreError) as caught:
            _native.check_layouts(structures=structures)
        self.assertIn("VexaCoreEvent is 64 bytes, the header says 72", str(caught.exception))
        self.assertIn("VexaCoreEvent has no field segment", str(caught.exception))

    def test_a_moved_field_is_reported(self):
        expected = {"VexaCoreLlmOverride": (64, {"temperature": 28})}
        with self.assertRaises(VexaCoreError) as caught:
            _native.check_layouts(expected=expected)
        self.assertEqual(str(caught.exception), "record layout does not match vexa_core.h: "
                         "VexaCoreLlmOverride.temperature is at offset 32, the header says 28")

    def test_import_fails_on_a_size_mismatch(self):
        original = _native.EXPECTED_LAYOUTS_64["VexaCoreToolSpec"]
        _native.EXPECTED_LAYOUTS_64["VexaCoreToolSpec"] = (80, original[1])
        try:
            with self.assertRaises(VexaCoreError) as caught:
                importlib.reload(vexa_core)
            self.assertIn("VexaCoreToolSpec is 72 bytes, the header says 80", str(caught.exception))
        finally:
            _native.EXPECTED_LAYOUTS_64["VexaCoreToolSpec"] = original
            importlib.reload(vexa_core)


class LoaderTest(unittest.TestCase):
    def test_wrong_library_path_is_an_error(self):
        saved = os.environ["VEXA_CORE_LIBRARY"]
        os.environ["VEXA_CORE_LIBRARY"] = "/nonexistent/libvexa_core.so"
        try:
            with self.assertRaises(VexaCoreError) as caught:
                _native.load_library()
            self.assertIn("/nonexistent/libvexa_core.so", str(caught.exception))
        finally:
            os.environ["VEXA_CORE_LIBRARY"] = saved


class ErrorTest(ServerTestCase):
    def test_error_texts(self):
        server = self.start_server([{"status": 401, "json": '{"error":"bad key"}'}])
        # (what, call, the library's text; "..." at the end: a prefix of it)
        cases = [
            ("turn on a session that was never initialised",
             lambda s, fresh: fresh.chat("Hi"), "CoreSession is not initialized."),
            ("loading a session that does not exist",
             lambda s, fresh: s.load_session("no-such-session"), "Failed to load session: no-such-session..."),
            ("an image with a plain-http url",
             lambda s, fresh: s.chat("look", images=[{"url": "http://example.com/a.png"}]),
             "image url must be an https absolute url."),
            ("identity without a name",
             lambda s, fresh: s.set_identity({"role": "helper"}), "Failed to parse identity JSON from host."),
            ("skills that are not an array",
             lambda s, fresh: s.set_skills({"name": "x"}), "skills_json must be a JSON array."),
            ("one-shot without messages",
             lambda s, fresh: s.oneshot([]), "oneshot messages is empty"),
            ("a turn the server refuses",
             lambda s, fresh: s.chat("Hi"), None),
        ]
        fresh = vexa_core.Session(base_dir=self.base)
        try:
            with self.session() as s:
                for what, call, text in cases:
                    with self.subTest(what):
                        with self.assertRaises(VexaCoreError) as caught:
                            call(s, fresh)
                        error = caught.exception
                        if text is not None and text.endswith("..."):
                            self.assertTrue(str(error).startswith(text[:-3]), str(error))
                        elif text is not None:
                            self.assertEqual(str(error), text)
                        else:
                            self.assertIn("401", str(error))
                            self.assertIn("bad key", str(error))
                        self.assertEqual(error.last_error, str(error))
        finally:
            fresh.close()
        self.assertEqual(len(server.stop()), 1)

    def test_closed_session_refuses_calls(self):
        s = self.session()
        s.close()
        s.close()
        with self.assertRaises(VexaCoreError) as caught:
            s.set_soul("x")
        self.assertEqual(str(caught.exception), "the session is closed")

    def test_missing_configuration_is_a_warning(self):
        with vexa_core.Session(base_dir=os.path.join(self.base, "empty")) as s:
            self.assertTrue(s.init_warning.startswith("Warning: Could not load config from "))
            self.assertTrue(s.init_warning.endswith(". Using default configuration."))


class SessionsTest(ServerTestCase):
    def test_save_list_load_new_clear(self):
        self.start_server([answer(["first answer"])])
        with self.session() as s:
            s.chat("remember this")
            saved_id = s.session_id
            s.save_session()
            self.assertIn(saved_id, s.list_sessions())
            new_id = s.new_session()
            self.assertNotEqual(new_id, saved_id)
            s.load_session(saved_id)
            self.assertEqual(s.session_id, saved_id)
            cleared_id = s.clear_session()
            self.assertNotIn(cleared_id, (saved_id, new_id))
        path = os.path.join(self.base, "data", "conversations", saved_id + ".json")
        with open(path, encoding="utf-8") as f:
            contents = [m.get("content") for m in json.load(f)["messages"]]
        self.assertIn("remember this", contents)
        self.assertIn("first answer", contents)

    def test_no_persistence_lists_nothing(self):
        self.start_server([])
        with self.session(policy=vexa_core.POLICY_NO_PERSISTENCE | vexa_core.POLICY_NO_LOCAL_MEMORY) as s:
            with self.assertRaises(VexaCoreError) as caught:
                s.save_session()
            self.assertEqual(str(caught.exception), "Conversation persistence is disabled by host policy.")
            self.assertEqual(s.list_sessions(), [])


class KnowledgeTest(ServerTestCase):
    def test_imports_reach_the_request(self):
        server = self.start_server([answer(["ok"])])
        skill = {"name": "brew-tea", "description": "How to brew tea.",
                 "body": "---\nname: brew-tea\ndescription: How to brew tea.\n---\nBoil water first.\n"}
        with self.session() as s:
            self.assertEqual(s.set_skills([skill]), 1)
            s.set_identity({"name": "Teabot", "role": "tea assistant"})
            s.set_soul("Always polite, never hurried.")
            s.add_system_prompt("Host prompt line.")
            self.assertEqual(s.set_conversation([{"role": "user", "content": "earlier question"},
                                                 {"role": "assistant", "content": "earlier answer"}]), 2)
            self.assertEqual(s.add_conversation([{"role": "user", "content": "another"},
                                                 {"role": "assistant", "content": "reply"}]), 2)
            prompt = s.system_prompt
            s.chat("now")
        for text in ("brew-tea", "Teabot", "Always polite, never hurried.", "Host prompt line."):
            self.assertIn(text, prompt)
        messages = server.request_bodies()[0]["messages"]
        self.assertEqual(messages[0], {"role": "system", "content": prompt})
        self.assertEqual([m["content"] for m in messages[1:]],
                         ["earlier question", "earlier answer", "another", "reply", "now"])


class NoticeTest(ServerTestCase):
    def test_events_outside_turns_reach_the_session_handler(self):
        self.start_server([])
        notices = []
        with self.session(on_event=notices.append) as s:
            s.set_skills([])
        self.assertIn("Injected 0 skill(s) from host memory.",
                      [e.text for e in notices if isinstance(e, vexa_core.Notice)])


class ReportsTest(ServerTestCase):
    def test_oneshot_and_status(self):
        completion = {"id": "cmpl-1", "object": "chat.completion",
                      "choices": [{"index": 0, "message": {"role": "assistant", "content": "4"},
                                   "finish_reason": "stop"}],
                      "usage": {"prompt_tokens": 5, "completion_tokens": 1, "total_tokens": 6}}
        server = self.start_server([{"json": json.dumps(completion)}], fallback={"json": json.dumps(completion)})
        with self.session() as s:
            result = s.oneshot([{"role": "user", "content": "2+2?"}], {"max_tokens": 5})
            status = s.status()
            s.set_llm_override(model="other-model", temperature=0.5)
            overridden = s.model
        self.assertTrue(result["success"])
        self.assertEqual(result["content"], "4")
        self.assertEqual(status["state"], "idle")
        self.assertEqual(status["model"], "test-model")
        self.assertTrue(status["session_id"])
        self.assertIsNotNone(status["model_status"])
        self.assertEqual(overridden, "other-model")
        body = server.request_bodies()[0]
        self.assertEqual(body["messages"], [{"role": "user", "content": "2+2?"}])
        self.assertEqual(body["max_tokens"], 5)


class SchemaTest(unittest.TestCase):
    def test_schemas_from_hints_and_docstrings(self):
        from typing import Dict, List, Optional

        def f(names: List[str], limit: Optional[int], ratio: float = 0.5, flags: Dict[str, bool] = None,
              verbose: bool = False):
            """Does things.

            :param names: Names to use.
            :param limit: At most this many.
            """

        schema = vexa_core.schema_from_function(f)
        self.assertEqual(schema, {
            "type": "object",
            "properties": {
                "names": {"type": "array", "items": {"type": "string"}, "description": "Names to use."},
                "limit": {"type": "integer", "description": "At most this many."},
                "ratio": {"type": "number", "default": 0.5},
                "flags": {"type": "object"},
                "verbose": {"type": "boolean", "default": False},
            },
            "required": ["names"],
        })
        self.assertEqual(vexa_core.Tool.from_function(f).description, "Does things.")


if __name__ == "__main__":
    unittest.main()
