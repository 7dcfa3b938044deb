"""Whole turns through the binding against the scripted server over loopback HTTP."""

import json
import threading
import time
import unittest
from typing import List, Literal, Optional

from .support import ServerTestCase, answer, tool_call

import vexa_core
from vexa_core import (ContentDelta, Done, Error, ReasoningDelta, StateChanged, ToolCallFinished,
                       ToolCallStarted, VexaCoreError)


def get_weather(city: str, days: int = 1, unit: Literal["c", "f"] = "c") -> dict:
    """Forecast for a city.

    Longer explanation that the model does not need.

    Args:
        city: Name of the city.
        days: How many days ahead.
        unit: Temperature unit.
    """
    get_weather.calls.append((city, days, unit))
    return {"success": True, "forecast": "sunny in %s for %d day(s)" % (city, days)}


WEATHER_SCHEMA = {
    "type": "object",
    "properties": {
        "city": {"type": "string", "description": "Name of the city."},
        "days": {"type": "integer", "description": "How many days ahead.", "default": 1},
        "unit": {"enum": ["c", "f"], "type": "string", "description": "Temperature unit.", "default": "c"},
    },
    "required": ["city"],
}


def offered_tool(body, name):
    for entry in body.get("tools", []):
        if entry.get("function", {}).get("name") == name:
            return entry["function"]
    return None


class StreamTest(ServerTestCase):
    def test_events_arrive_in_order(self):
        server = self.start_server([answer(["Hel", "lo ", "there"], reasoning=["thinking"])])
        with self.session() as s:
            stream = s.stream("Hi")
            events = list(stream)
        kinds = [type(e) for e in events]
        deltas = [e.text for e in events if isinstance(e, ContentDelta)]
        self.assertEqual(deltas, ["Hel", "lo ", "there"])
        self.assertLess(kinds.index(ReasoningDelta), kinds.index(ContentDelta))
        # A successful turn ends with: state done, Done with the answer, state idle.
        self.assertEqual(kinds[-3:], [StateChanged, Done, StateChanged])
        self.assertEqual((events[-3].state, events[-1].state), ("done", "idle"))
        self.assertEqual(events[-2].text, "Hello there")
        self.assertTrue(stream.result.success)
        self.assertEqual(stream.result.content, "Hello there")
        self.assertEqual(stream.result.reasoning, "thinking")
        bodies = server.request_bodies()
        self.assertEqual(len(bodies), 1)
        self.assertEqual(bodies[0]["messages"][-1], {"role": "user", "content": "Hi"})

    def test_chat_returns_the_result_and_honours_options(self):
        server = self.start_server([answer(["plain ", "answer"], reasoning=["r"])])
        seen = []
        with self.session() as s:
            result = s.chat("Hi", on_event=seen.append, stream_content=False, stream_reasoning=False,
                            turn_system_prompt="Answer briefly.")
        self.assertTrue(result.success)
        self.assertEqual(result.content, "plain answer")
        self.assertFalse(any(isinstance(e, (ContentDelta, ReasoningDelta)) for e in seen))
        self.assertEqual(seen, result.events)
        system = server.request_bodies()[0]["messages"][0]
        self.assertEqual(system["role"], "system")
        self.assertIn("Answer briefly.", system["content"])

    def test_unknown_option_is_refused_before_the_turn(self):
        server = self.start_server([])
        with self.session() as s:
            with self.assertRaises(TypeError):
                s.stream("Hi", stream_contnet=False)
        self.assertEqual(server.stop(), [])


class ToolTest(ServerTestCase):
    def setUp(self):
        super().setUp()
        get_weather.calls = []

    def test_tool_from_a_type_hinted_function(self):
        server = self.start_server([tool_call("get_weather", {"city": "Paris", "days": 2}),
                                    answer(["It will be sunny."])])
        with self.session() as s:
            s.register_tool(get_weather)
            events = list(s.stream("Weather in Paris?"))
        self.assertEqual(get_weather.calls, [("Paris", 2, "c")])
        started = [e for e in events if isinstance(e, ToolCallStarted)]
        finished = [e for e in events if isinstance(e, ToolCallFinished)]
        self.assertEqual([e.tool_name for e in started], ["get_weather"])
        self.assertEqual(len(finished), 1)
        self.assertTrue(finished[0].success)
        self.assertEqual(json.loads(finished[0].tool_result)["forecast"], "sunny in Paris for 2 day(s)")

        first, second = server.request_bodies()
        offered = offered_tool(first, "get_weather")
        self.assertIsNotNone(offered)
        self.assertEqual(offered["description"], "Forecast for a city.")
        self.assertEqual(offered["parameters"], WEATHER_SCHEMA)
        tool_messages = [m for m in second["messages"] if m["role"] == "tool"]
        self.assertEqual(len(tool_messages), 1)
        self.assertIn("sunny in Paris", tool_messages[0]["content"])

    def test_explicit_schema_keywords_and_raising_tool(self):
        server = self.start_server([tool_call("lookup", {"key": 7}), answer(["ok"])])
        schema = {"type": "object", "properties": {"key": {"type": "integer"}}, "required": ["key"]}

        def lookup(key):
            raise KeyError("no such key")

        with self.session() as s:
            s.register_tool(lookup, description="Looks a key up.", parameters=schema)
            result = s.chat("look it up")
        self.assertTrue(result.success)
        self.assertEqual(len(result.tool_results), 1)
        failure = json.loads(result.tool_results[0])
        self.assertFalse(failure["success"])
        self.assertIn("no such key", failure["error"])
        first, _ = server.request_bodies()
        self.assertEqual(offered_tool(first, "lookup")["parameters"], schema)

    def test_only_listed_tools_are_offered(self):
        server = self.start_server([answer(["a"]), answer(["b"])])

        def first_tool(x: int) -> int:
            """First."""
            return x

        def second_tool(y: str) -> str:
            """Second."""
            return y

        with self.session(policy=vexa_core.POLICY_NO_LOCAL_MEMORY | vexa_core.POLICY_NO_MODEL_TOOL) as s:
            s.register_tool(first_tool)
            s.register_tool(second_tool, name="renamed_tool")
            s.chat("one", tools=["renamed_tool"], only_listed_tools=True)
            self.assertTrue(s.unregister_tool("renamed_tool"))
            self.assertFalse(s.unregister_tool("renamed_tool"))
            s.chat("two")
        first, second = server.request_bodies()
        self.assertEqual([t["function"]["name"] for t in first["tools"]], ["renamed_tool"])
        names = [t["function"]["name"] for t in second.get("tools", [])]
        self.assertIn("first_tool", names)
        self.assertNotIn("renamed_tool", names)

    def test_confirmation_hook_rejects_a_call(self):
        server = self.start_server([tool_call("get_weather", {"city": "Oslo"}), answer(["Understood."])])
        asked = []

        def confirm(name, arguments):
            asked.append((name, arguments))
            return False

        with self.session() as s:
            s.register_tool(get_weather)
            s.set_confirm(confirm)
            result = s.chat("Weather in Oslo?")
        self.assertEqual(asked, [("get_weather", {"city": "Oslo"})])
        self.assertEqual(get_weather.calls, [])
        self.assertEqual(result.tool_results, ['{"success":false,"error":"user rejected this toolcall"}'])
        _, second = server.request_bodies()
        tool_messages = [m for m in second["messages"] if m["role"] == "tool"]
        self.assertIn("user rejected this toolcall", tool_messages[0]["content"])

    def test_confirmation_hook_that_raises_rejects_and_removed_hook_runs(self):
        self.start_server([tool_call("get_weather", {"city": "Rome"}), answer(["a"]),
                           tool_call("get_weather", {"city": "Bern"}), answer(["b"])])

        def broken(name, arguments):
            raise RuntimeError("hook bug")

        with self.session() as s:
            s.register_tool(get_weather)
            s.set_confirm(broken)
            with self.assertLogs("vexa_core", level="ERROR") as logged:
                first = s.chat("Rome?")
            self.assertIn("hook bug", "\n".join(logged.output))
            s.set_confirm(None)
            second = s.chat("Bern?")
        self.assertIn("user rejected this toolcall", first.tool_results[0])
        self.assertEqual(get_weather.calls, [("Bern", 1, "c")])
        self.assertTrue(json.loads(second.tool_results[0])["success"])


class CancelTest(ServerTestCase):
    # The turn must be gone this soon after the loop is left.
    BOUND_S = 0.2

    def leave_after(self, responses, deltas):
        self.start_server(responses)
        with self.session() as s:
            stream = s.stream("Tell me a long story")
            seen = 0
            for event in stream:
                if isinstance(event, ContentDelta):
                    seen += 1
                    if seen == deltas:
                        started = time.monotonic()
                        break
            stream.close()  # what the loop's end does for an unreferenced stream
            elapsed = time.monotonic() - started
            self.assertEqual(s.state, "idle")
            return elapsed, stream.result

    def test_break_cancels_a_hanging_server_promptly(self):
        hang = answer(["first words"], end="hang")
        hang["sse"] = hang["sse"][:1]
        elapsed, result = self.leave_after([hang], 1)
        self.assertLess(elapsed, self.BOUND_S, "cancel took %.3f s" % elapsed)
        self.assertTrue(result.cancelled)
        self.assertEqual(result.error, "Generation cancelled.")
        self.assertIsInstance(result.events[-1], Error)

    def test_break_cancels_slow_chunks_promptly(self):
        slow = answer(["word "] * 50, split=40, chunk_delay_ms=100)
        elapsed, result = self.leave_after([slow], 2)
        self.assertLess(elapsed, self.BOUND_S, "cancel took %.3f s" % elapsed)
        self.assertTrue(result.cancelled)

    def test_unreferenced_stream_is_cancelled_when_the_loop_ends(self):
        hang = answer(["first words"], end="hang")
        hang["sse"] = hang["sse"][:1]
        self.start_server([hang])
        with self.session() as s:
            for event in s.stream("Hi"):
                if isinstance(event, ContentDelta):
                    started = time.monotonic()
                    break
            elapsed = time.monotonic() - started
            # The session is free again: a locked call does not wait for the turn.
            self.assertEqual(s.state, "idle")
        self.assertLess(elapsed, self.BOUND_S, "cancel took %.3f s" % elapsed)

    def test_cancel_from_another_thread_ends_chat_with_an_error(self):
        hang = answer(["partial"], end="hang")
        hang["sse"] = hang["sse"][:1]
        self.start_server([hang])
        with self.session() as s:
            first = threading.Event()

            def on_event(event):
                if isinstance(event, ContentDelta):
                    first.set()

            canceller = threading.Thread(target=lambda: first.wait(10) and s.cancel())
            canceller.start()
            with self.assertRaises(VexaCoreError) as caught:
                s.chat("Hi", on_event=on_event)
            canceller.join()
        self.assertEqual(str(caught.exception), "Generation cancelled.")
        self.assertTrue(caught.exception.result.cancelled)
        self.assertEqual(caught.exception.result.content, "partial")


class ReentryTest(ServerTestCase):
    """Calls that would wait for the running turn are refused from its own
    callbacks instead of hanging for ever; the four the library allows work."""

    # A refused call must not wait for anything.
    BOUND_S = 20

    def run_turn(self, s, **kwargs):
        outcome = {}

        def turn():
            try:
                outcome["result"] = s.chat("go", **kwargs)
            except BaseException as exc:  # reported below
                outcome["error"] = exc

        worker = threading.Thread(target=turn, daemon=True)
        worker.start()
        worker.join(self.BOUND_S)
        self.assertFalse(worker.is_alive(), "the turn hangs: a call from a callback waits for it")
        self.assertNotIn("error", outcome, outcome.get("error"))
        return outcome["result"]

    def test_session_calls_from_a_tool_raise_instead_of_hanging(self):
        self.start_server([tool_call("reenter", {}), answer(["done"])])
        refused = {}
        allowed = {}
        with self.session() as s:
            other = s  # the same session, seen from inside its own tool
            attempts = {
                "close": other.close,
                "shutdown": other.shutdown,
                "initialize": other.initialize,
                "chat": lambda: other.chat("nested"),
                "stream": lambda: other.stream("nested"),
                "last_error": lambda: other.last_error,
                "state": lambda: other.state,
                "save_session": other.save_session,
                "set_system_prompt": lambda: other.set_system_prompt("x"),
            }

            def reenter() -> dict:
                """Calls back into its own session."""
                for name, attempt in attempts.items():
                    try:
                        attempt()
                    except VexaCoreError as exc:
                        refused[name] = str(exc)
                allowed["is_cancel_requested"] = other.is_cancel_requested()
                return {"success": True}

            s.register_tool(reenter)
            result = self.run_turn(s)
            self.assertTrue(result.success)
            self.assertEqual(sorted(refused), sorted(attempts))
            for name, text in refused.items():
                self.assertIn("cannot be called from inside a callback of the same session", text, name)
            self.assertIn("close cannot be called", refused["close"])
            self.assertEqual(allowed, {"is_cancel_requested": False})
            # The session still works after the refused calls.
            self.assertEqual(s.state, "idle")

    def test_close_from_the_confirmation_hook_raises(self):
        self.start_server([tool_call("get_weather", {"city": "Oslo"}), answer(["fine"])])
        refused = []
        get_weather.calls = []
        with self.session() as s:
            def confirm(name, arguments):
                try:
                    s.close()
                except VexaCoreError as exc:
                    refused.append(str(exc))
                return True

            s.register_tool(get_weather)
            s.set_confirm(confirm)
            self.assertTrue(self.run_turn(s).success)
            self.assertEqual(get_weather.calls, [("Oslo", 1, "c")])
        self.assertEqual(len(refused), 1)
        self.assertIn("close cannot be called from inside a callback of the same session", refused[0])

    def test_another_session_may_be_used_from_a_tool(self):
        self.start_server([tool_call("peek", {}), answer(["done"])])
        seen = []
        with self.session() as s, self.session() as t:
            def peek() -> dict:
                """Reads another session."""
                seen.append(t.state)
                return {"success": True}

            s.register_tool(peek)
            self.assertTrue(self.run_turn(s).success)
        self.assertEqual(seen, ["idle"])


if __name__ == "__main__":
    unittest.main()
