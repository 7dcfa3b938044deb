"""The Session: one library handle, its callbacks and its turns."""

import ctypes
import json
import logging
import os
import queue
import sys
import threading
from typing import Any, Callable, Dict, Iterable, List, Optional, Sequence, Union

from . import _native
from ._errors import VexaCoreError
from .events import ChatResult, Event, event_from_native
from .tools import Tool

log = logging.getLogger("vexa_core")

POLICY_NO_LOCAL_SKILLS = 0x01
POLICY_NO_LOCAL_SOUL = 0x02
POLICY_NO_LOCAL_IDENTITY = 0x04
POLICY_NO_LOCAL_MEMORY = 0x08
POLICY_NO_PERSISTENCE = 0x20
POLICY_NO_MODEL_TOOL = 0x40

_ORCHESTRATION = {None: 0, "auto": 0, "on": 1, "off": 2, True: 1, False: 2}
_CHAT_OPTION_NAMES = {"stream_content", "stream_reasoning", "emit_tool_events", "max_tool_rounds",
                      "orchestration", "tools", "turn_system_prompt", "only_listed_tools", "images"}

# The sessions whose callbacks this thread is running, innermost last.
_in_callback = threading.local()

# What a callback may still call on its own session: everything else waits for
# the running turn, which waits for the callback.
_CALLBACK_SAFE = "cancel, is_cancel_requested, request_tools and oneshot"


class _InCallback:
    """Marks this thread as running a callback of the session with `token`."""

    __slots__ = ("token",)

    def __init__(self, token):
        self.token = token

    def __enter__(self):
        stack = getattr(_in_callback, "tokens", None)
        if stack is None:
            stack = _in_callback.tokens = []
        stack.append(self.token)

    def __exit__(self, *exc):
        _in_callback.tokens.pop()
        return False


def _inside_callback(token=None) -> bool:
    """True inside any callback, or with `token` inside one of that session."""
    stack = getattr(_in_callback, "tokens", None)
    if not stack:
        return False
    return token is None or token in stack


def _b(text: Optional[str]) -> Optional[bytes]:
    return None if text is None else text.encode("utf-8", errors="replace")


def _json_text(value: Any) -> str:
    return value if isinstance(value, str) else json.dumps(value, ensure_ascii=False)


def _string_array(items: Sequence[str]):
    encoded = [_b(s) for s in items]
    return (ctypes.c_char_p * max(len(encoded), 1))(*encoded), len(encoded)


class _Turn:
    """The native arguments of one turn, kept alive while it runs."""

    def __init__(self, text: str, options: Dict[str, Any]):
        unknown = set(options) - _CHAT_OPTION_NAMES
        if unknown:
            raise TypeError("unknown chat option(s): " + ", ".join(sorted(unknown)))
        self.text = _b(text)
        self.record = None
        if not options:
            return  # NULL record: the library's defaults, every stream on
        r = _native.VexaCoreChatOptions()
        r.stream_content = int(bool(options.get("stream_content", True)))
        r.stream_reasoning = int(bool(options.get("stream_reasoning", True)))
        r.emit_tool_events = int(bool(options.get("emit_tool_events", True)))
        r.max_tool_rounds = int(options.get("max_tool_rounds", 0) or 0)
        mode = options.get("orchestration")
        r.orchestration = mode if isinstance(mode, int) and not isinstance(mode, bool) else _ORCHESTRATION[mode]
        tools = options.get("tools")
        if tools:
            self.tools, count = _string_array(list(tools))
            r.tools = ctypes.cast(self.tools, _native.c_char_p_p)
            r.tool_count = count
        self.prompt = _b(options.get("turn_system_prompt"))
        r.turn_system_prompt = self.prompt
        r.only_listed_tools = int(bool(options.get("only_listed_tools", False)))
        r.struct_size = ctypes.sizeof(_native.VexaCoreChatOptions)
        images = options.get("images")
        self.images = _b(_json_text(images)) if images else None
        r.images_json = self.images
        self.record = r


class _End:
    def __init__(self, ok: bool, error: str, cancelled: bool, request_id: str, failure=None):
        self.ok, self.error, self.cancelled, self.request_id, self.failure = ok, error, cancelled, request_id, failure


class _Worker:
    """The thread that runs one turn, and the queue its events cross.

    It never refers to the TurnStream, so a stream the host stops iterating
    is freed at once and its finaliser cancels the turn.
    """

    def __init__(self, session: "Session", turn: _Turn):
        self.session = session
        self.turn = turn
        self.queue: "queue.Queue" = queue.Queue()
        self.callback = _native.EVENT_CALLBACK(self.deliver)
        self.thread = threading.Thread(target=self.run, name="vexa-turn", daemon=True)

    def deliver(self, record, _user_data):
        with _InCallback(self.session._token):
            try:
                self.queue.put(event_from_native(record.contents))
            except BaseException:  # nothing may unwind into the library
                log.exception("dropping an event that could not be read")

    def run(self):
        lib, handle = self.session._lib, self.session._handle
        try:
            record = ctypes.byref(self.turn.record) if self.turn.record is not None else None
            ok = bool(lib.vexa_core_send_text_stream(handle, self.turn.text, record, self.callback, None))
            # Read while the handle is certainly alive: the session waits for
            # this thread before it destroys the handle.
            error = "" if ok else self.session._text("vexa_core_last_error")
            cancelled = not ok and bool(lib.vexa_core_is_cancel_requested(handle))
            request_id = self.session._text("vexa_core_last_llm_request_id")
            end = _End(ok, error, cancelled, request_id)
        except BaseException as exc:
            end = _End(False, str(exc), False, "", exc)
        self.queue.put(end)


class TurnStream:
    """Iterator over the events of one turn that runs on a worker thread.

    Leaving the loop early (break, an exception, close(), or dropping the
    stream) cancels the turn and waits for the worker. After the last event
    `result` holds the ChatResult.
    """

    def __init__(self, session: "Session", text: str, options: Dict[str, Any],
                 on_event: Optional[Callable[[Event], None]] = None):
        self._worker = _Worker(session, _Turn(text, options))
        self._on_event = on_event
        self._finished = False
        self._lock = threading.Lock()
        self.result = ChatResult()
        session._workers.add(self._worker)
        self._worker.thread.start()

    def __iter__(self):
        return self

    def __next__(self) -> Event:
        if self._finished:
            raise StopIteration
        item = self._worker.queue.get()
        if isinstance(item, _End):
            self._finish(item)
            raise StopIteration
        self.result.add(item)
        if self._on_event is not None:
            self._on_event(item)
        return item

    def _finish(self, end: _End):
        with self._lock:
            if self._finished:
                return
            self._finished = True
        self._worker.thread.join()
        self._worker.session._workers.discard(self._worker)
        r = self.result
        r.success, r.error, r.cancelled = end.ok, end.error, end.cancelled
        r.request_id = end.request_id or None
        if end.cancelled and not r.error:
            r.error = "Generation cancelled."
        if end.failure is not None:
            raise VexaCoreError("turn failed: %s" % end.failure, result=r)

    def cancel(self):
        """Asks the turn to stop; the remaining events still arrive."""
        if not self._finished:
            _stop_worker(self._worker, wait=False)

    def close(self):
        """Cancels the turn if it still runs and waits for its worker. From
        inside a callback of the session the turn would wait for the caller:
        that raises VexaCoreError (cancel() may be called there)."""
        if self._finished or threading.current_thread() is self._worker.thread:
            return
        self._worker.session._refuse_in_callback("TurnStream.close")
        _stop_worker(self._worker, wait=True)
        while True:
            item = self._worker.queue.get()
            if isinstance(item, _End):
                self._finish(item)
                return
            self.result.add(item)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def __del__(self):
        try:
            self.close()
        except Exception:
            pass


def _stop_worker(worker: _Worker, wait: bool) -> None:
    handle = worker.session._handle
    if not handle:
        return
    if not wait:
        worker.session._lib.vexa_core_cancel(handle)
        return
    # Repeat the cancel until the worker ends: a cancel that lands before the
    # turn has started is cleared by the turn's start.
    while worker.thread.is_alive():
        worker.session._lib.vexa_core_cancel(handle)
        worker.thread.join(0.05)


class Session:
    """One agent session over the library's C interface.

        with Session(base_dir="/path/to/data") as s:
            for event in s.stream("Hello"):
                ...

    Every method may be called from any thread; a turn holds the session, so
    other calls wait for it, except cancel, request_tools and oneshot.
    """

    def __init__(self, base_dir: Optional[str] = None, config_path: Optional[str] = None,
                 policy: int = 0, on_event: Optional[Callable[[Event], None]] = None):
        self.base_dir = base_dir
        self.config_path = config_path
        self.policy = policy
        self._on_event = on_event
        self._lib = _native.library()
        self._handle = self._lib.vexa_core_create()
        if not self._handle:
            raise VexaCoreError("vexa_core_create failed")
        # ctypes callback objects must outlive every call the library may make
        # into them: kept for the handle's lifetime.
        self._keepalive: List[Any] = []
        self._tools: Dict[str, Tool] = {}
        self._text_locks: Dict[str, threading.Lock] = {}
        self._text_locks_guard = threading.Lock()
        # Workers of turns still running; closing the session waits for them.
        self._workers: "set[_Worker]" = set()
        # Stands for this session in the callback marks; the callbacks hold it
        # rather than the session, which would keep the session alive.
        self._token = object()
        self.init_warning = ""

    # ---- lifecycle -------------------------------------------------------

    def initialize(self) -> "Session":
        """Loads the configuration and starts the agent. A missing configuration
        file is no error; its warning is kept in `init_warning`."""
        self._refuse_in_callback("initialize")
        opts = _native.VexaCoreInitOptions()
        self._init_strings = (_b(self.base_dir or ""), _b(self.config_path or ""))
        opts.base_dir, opts.config_path = self._init_strings
        opts.host_policy_flags = self.policy
        callback = _native.EVENT_CALLBACK(self._background_event)
        self._keepalive.append(callback)
        if not self._lib.vexa_core_initialize(self._h(), ctypes.byref(opts), callback, None):
            raise self._error("initialize failed")
        self.init_warning = self._text("vexa_core_last_error")
        return self

    def _background_event(self, record, _user_data):
        with _InCallback(self._token):
            try:
                event = event_from_native(record.contents)
                if self._on_event is not None:
                    self._on_event(event)
                else:
                    log.info("%s: %s", type(event).__name__, event.text)
            except BaseException:
                log.exception("the event handler raised")

    def shutdown(self) -> None:
        """Stops the agent and saves; initialize() may be called again."""
        self._refuse_in_callback("shutdown")
        self._stop_turns()
        if self._handle:
            self._lib.vexa_core_shutdown(self._handle)

    def close(self) -> None:
        """Shuts down and releases the handle. Repeating it is harmless. From
        inside one of this session's callbacks it raises VexaCoreError: the
        running turn would wait for the callback and the callback for it."""
        if not self._handle:
            return
        self._refuse_in_callback("close")
        self._stop_turns()
        handle, self._handle = self._handle, None
        self._lib.vexa_core_destroy(handle)

    def _stop_turns(self):
        for worker in list(self._workers):
            if worker.thread is not threading.current_thread():
                _stop_worker(worker, wait=True)
            self._workers.discard(worker)

    def __enter__(self) -> "Session":
        try:
            return self.initialize()
        except BaseException:
            self.close()
            raise

    def __exit__(self, *exc) -> bool:
        self.close()
        return False

    def __del__(self):
        try:
            self.close()
        except Exception:
            pass

    # ---- helpers ---------------------------------------------------------

    def _refuse_in_callback(self, what: str) -> None:
        if _inside_callback(self._token):
            raise VexaCoreError("%s cannot be called from inside a callback of the same session: the running turn "
                                "waits for the callback to return (only %s may be called there)"
                                % (what, _CALLBACK_SAFE))

    def _h(self, from_callback: bool = False, what: Optional[str] = None):
        """The handle; a call that would wait for the running turn is refused
        from inside this session's callbacks unless `from_callback`."""
        if not self._handle:
            raise VexaCoreError("the session is closed")
        if not from_callback:
            self._refuse_in_callback(what or sys._getframe(1).f_code.co_name)
        return self._handle

    def _text(self, function: str, *args, from_callback: bool = False) -> str:
        # Each text function returns its own buffer, overwritten by the next
        # call of the same function: one lock per function covers the copy.
        # Inside a callback no lock is taken, as a thread holding it may be
        # waiting for the very turn that runs the callback.
        fn = getattr(self._lib, function)
        handle = self._h(from_callback, what=function)
        if _inside_callback():
            value = fn(handle, *args)
        else:
            with self._text_locks_guard:
                lock = self._text_locks.setdefault(function, threading.Lock())
            with lock:
                value = fn(handle, *args)
        return (value or b"").decode("utf-8", errors="replace")

    @property
    def last_error(self) -> str:
        return self._text("vexa_core_last_error")

    def _error(self, what: str) -> VexaCoreError:
        # The last error waits for the running turn: inside this session's
        # callbacks it cannot be read.
        text = "" if _inside_callback(self._token) else self.last_error
        return VexaCoreError(text or what, last_error=text)

    def _check(self, ok, what: str) -> None:
        if not ok:
            raise self._error(what)

    def _count(self, n: int, what: str) -> int:
        if n < 0:
            raise self._error(what)
        return n

    # ---- turns -----------------------------------------------------------

    def stream(self, text: str, on_event: Optional[Callable[[Event], None]] = None,
               **options) -> TurnStream:
        """Runs a turn on a worker thread and yields its events as they come.

        Options: stream_content, stream_reasoning, emit_tool_events,
        max_tool_rounds, orchestration ("auto", "on", "off"), tools (names),
        turn_system_prompt, only_listed_tools, images (list or JSON text).
        A failed turn is no exception here: it ends with an Error event and
        `result.success` false.
        """
        self._h()
        return TurnStream(self, text, options, on_event)

    def chat(self, text: str, on_event: Optional[Callable[[Event], None]] = None,
             **options) -> ChatResult:
        """Runs a turn and returns its result; a failed or cancelled turn raises
        VexaCoreError with the result attached."""
        with self.stream(text, on_event=on_event, **options) as turn:
            for _ in turn:
                pass
        result = turn.result
        if not result.success:
            raise VexaCoreError(result.error or "the turn failed", last_error=result.error, result=result)
        return result

    def cancel(self) -> None:
        """Asks the running turn to stop; never waits."""
        self._lib.vexa_core_cancel(self._h(from_callback=True))

    def is_cancel_requested(self) -> bool:
        return bool(self._lib.vexa_core_is_cancel_requested(self._h(from_callback=True)))

    def oneshot(self, messages: Union[str, list, dict], options: Optional[Union[str, dict]] = None) -> dict:
        """One model call outside the conversation; returns the result object
        ("content", "usage", "timing", ...)."""
        text = self._text("vexa_core_oneshot_completion", _b(_json_text(messages)),
                          _b(_json_text(options)) if options is not None else None, from_callback=True)
        try:
            result = json.loads(text) if text else None
        except ValueError:
            result = None
        if not isinstance(result, dict) or not result.get("success"):
            error = (result or {}).get("error") if isinstance(result, dict) else ""
            if not error and not _inside_callback(self._token):
                error = self.last_error
            raise VexaCoreError(error or "one-shot completion failed")
        return result

    # ---- tools -----------------------------------------------------------

    def register_tool(self, function: Union[Callable, Tool, None] = None, *, name: Optional[str] = None,
                      description: Optional[str] = None, parameters: Optional[dict] = None,
                      keywords: Optional[Sequence[str]] = None):
        """Registers a Python callable as a tool. The schema comes from its type
        hints and docstring unless `parameters` is given. Usable as a decorator
        (@session.register_tool or @session.register_tool(name=...))."""
        if function is None:
            return lambda f: self.register_tool(f, name=name, description=description,
                                                parameters=parameters, keywords=keywords)
        if isinstance(function, Tool):
            spec = function
        elif hasattr(function, "__vexa_tool__") and not (name or description or parameters or keywords):
            spec = function.__vexa_tool__
        else:
            spec = Tool.from_function(function, name=name, description=description,
                                      parameters=parameters, keywords=keywords)
        record = _native.VexaCoreToolSpec()
        strings = [_b(spec.name), _b(spec.description), _b(json.dumps(spec.parameters, ensure_ascii=False))]
        record.name, record.description, record.parameters_json = strings
        keywords_array, count = _string_array(spec.keywords)
        if count:
            record.keywords = ctypes.cast(keywords_array, _native.c_char_p_p)
            record.keyword_count = count
        executor = _native.TOOL_EXECUTOR(self._make_executor(spec, self._token))
        self._keepalive.append(executor)
        ok = self._lib.vexa_core_register_tool(self._h(), ctypes.byref(record), executor, None)
        self._check(ok, "Failed to register tool: " + spec.name)
        self._tools[spec.name] = spec
        return function

    @staticmethod
    def _make_executor(spec: Tool, token):
        buffers = threading.local()

        def execute(arguments, _user_data):
            with _InCallback(token):
                try:
                    text = spec.invoke((arguments or b"").decode("utf-8", errors="replace"))
                except BaseException as exc:
                    log.exception("tool %s failed", spec.name)
                    text = json.dumps({"success": False, "error": "Tool executor error: %s" % exc})
            # The library copies the text as soon as this returns; one buffer
            # per thread keeps parallel calls of one tool apart.
            buffers.value = ctypes.create_string_buffer(text.encode("utf-8", errors="replace"))
            return ctypes.addressof(buffers.value)

        return execute

    def unregister_tool(self, name: str) -> bool:
        """Removes a host tool; False when no host tool has that name."""
        removed = bool(self._lib.vexa_core_unregister_tool(self._h(), _b(name)))
        if removed:
            self._tools.pop(name, None)
        return removed

    @property
    def tools(self) -> Dict[str, Tool]:
        """The tools registered through this object."""
        return dict(self._tools)

    def request_tools(self, names: Iterable[str]) -> None:
        """Adds registered tools to the running turn's offer (callable from a tool)."""
        array, count = _string_array(list(names))
        self._check(self._lib.vexa_core_request_tools(self._h(from_callback=True), array, count) if count else 0,
                    "request_tools failed")

    def set_confirm(self, confirm: Optional[Callable[[str, Any], bool]]) -> None:
        """Installs the hook asked before every tool call: confirm(tool_name,
        arguments) returns True to run the call. None removes it. A hook that
        raises rejects the call."""
        if confirm is None:
            self._lib.vexa_core_set_tool_confirm_callback(self._h(), _native.TOOL_CONFIRM(), None)
            return

        token = self._token

        def trampoline(name, arguments, _user_data):
            with _InCallback(token):
                try:
                    text = (arguments or b"").decode("utf-8", errors="replace")
                    try:
                        parsed = json.loads(text)
                    except ValueError:
                        parsed = text
                    return 1 if confirm((name or b"").decode("utf-8", errors="replace"), parsed) else 0
                except BaseException:
                    log.exception("the confirmation hook raised; rejecting the call")
                    return 0

        callback = _native.TOOL_CONFIRM(trampoline)
        self._keepalive.append(callback)
        self._lib.vexa_core_set_tool_confirm_callback(self._h(), callback, None)

    # ---- prompts, model, knowledge ---------------------------------------

    def set_system_prompt(self, text: str) -> None:
        self._lib.vexa_core_set_system_prompt(self._h(), _b(text))

    def add_system_prompt(self, text: str) -> None:
        self._lib.vexa_core_add_system_prompt(self._h(), _b(text))

    @property
    def system_prompt(self) -> str:
        """The system prompt the next model call would send."""
        return self._text("vexa_core_get_system_prompt")

    def set_skills(self, skills: Union[str, list]) -> int:
        """Replaces the skill library; returns the number of skills."""
        return self._count(self._lib.vexa_core_set_skills_from_memory(self._h(), _b(_json_text(skills))),
                           "set_skills failed")

    def set_identity(self, identity: Union[str, dict]) -> None:
        self._check(self._lib.vexa_core_set_identity_from_memory(self._h(), _b(_json_text(identity))),
                    "set_identity failed")

    def set_soul(self, text: str) -> None:
        self._check(self._lib.vexa_core_set_soul_from_memory(self._h(), _b(text)), "set_soul failed")

    def add_conversation(self, messages: Union[str, list]) -> int:
        """Appends messages to the conversation; returns how many were added."""
        return self._count(
            self._lib.vexa_core_add_conversation_from_memory(self._h(), _b(_json_text(messages))),
            "add_conversation failed")

    def set_conversation(self, messages: Union[str, list]) -> int:
        """Replaces the conversation; returns the number of messages."""
        return self._count(
            self._lib.vexa_core_set_conversation_from_memory(self._h(), _b(_json_text(messages))),
            "set_conversation failed")

    def set_llm_override(self, base_url: Optional[str] = None, api_key: Optional[str] = None,
                         model: Optional[str] = None, temperature: Optional[float] = None,
                         max_tokens: Optional[int] = None, timeout_seconds: Optional[int] = None,
                         backend: Optional[str] = None) -> None:
        """Overrides the model connection for this session; None leaves a value as configured."""
        r = _native.VexaCoreLlmOverride()
        self._override_strings = [_b(v) for v in (base_url, api_key, model, backend)]
        r.base_url, r.api_key, r.model, r.backend = self._override_strings
        if temperature is not None:
            r.has_temperature, r.temperature = 1, float(temperature)
        if max_tokens is not None:
            r.has_max_tokens, r.max_tokens = 1, int(max_tokens)
        if timeout_seconds is not None:
            r.has_timeout_seconds, r.timeout_seconds = 1, int(timeout_seconds)
        self._check(self._lib.vexa_core_set_llm_override(self._h(), ctypes.byref(r)), "set_llm_override failed")

    def set_host_llm_context(self, gateway_url: str = "", cookie: str = "", referer: str = "",
                             user: str = "", qorbin_ext: Union[str, dict] = "") -> None:
        r = _native.VexaCoreHostLlmContext()
        ext = qorbin_ext if isinstance(qorbin_ext, str) else json.dumps(qorbin_ext, ensure_ascii=False)
        values = [_b(v) for v in (gateway_url, cookie, referer, user, ext)]
        r.gateway_url, r.cookie, r.referer, r.user, r.qorbin_ext = values
        self._check(self._lib.vexa_core_set_host_llm_context(self._h(), ctypes.byref(r)),
                    "set_host_llm_context failed")

    # ---- sessions --------------------------------------------------------

    @property
    def session_id(self) -> str:
        return self._text("vexa_core_current_session_id")

    def save_session(self) -> None:
        self._check(self._lib.vexa_core_save_session(self._h()), "save_session failed")

    def load_session(self, session_id: str) -> None:
        self._check(self._lib.vexa_core_load_session(self._h(), _b(session_id)), "load_session failed")

    def new_session(self) -> str:
        """Saves the conversation and starts a new session; returns its id."""
        self._check(self._lib.vexa_core_new_session(self._h()), "new_session failed")
        return self.session_id

    def clear_session(self) -> str:
        """Saves, empties the conversation and starts a new session id; returns it."""
        self._check(self._lib.vexa_core_clear_session(self._h()), "clear_session failed")
        return self.session_id

    def list_sessions(self) -> List[str]:
        """Ids of the saved sessions, read from the configured conversations
        directory (the C interface has no listing of its own)."""
        if self.policy & POLICY_NO_PERSISTENCE:
            return []
        directory = self._conversations_dir()
        try:
            names = sorted(os.listdir(directory))
        except OSError:
            return []
        return [n[:-5] for n in names if n.endswith(".json") and os.path.isfile(os.path.join(directory, n))]

    def _base_dir(self) -> str:
        return self.base_dir or os.path.dirname(os.path.abspath(sys.executable))

    def _conversations_dir(self) -> str:
        path = self.config_path or os.path.join(self._base_dir(), "config", "agent_config.json")
        configured = "./data/conversations"
        try:
            with open(path, encoding="utf-8") as f:
                value = json.load(f).get("paths", {}).get("conversations_dir")
            if isinstance(value, str) and value.strip():
                configured = value.strip()
        except (OSError, ValueError, AttributeError):
            pass
        return os.path.normpath(os.path.join(self._base_dir(), configured))

    # ---- reports ---------------------------------------------------------

    @property
    def state(self) -> str:
        return self._text("vexa_core_current_state")

    @property
    def model(self) -> str:
        return self._text("vexa_core_current_model")

    @property
    def last_request_id(self) -> str:
        return self._text("vexa_core_last_llm_request_id")

    def model_status(self) -> Any:
        """The model status report, parsed."""
        text = self._text("vexa_core_model_status_json")
        return json.loads(text) if text else None

    def status(self) -> Dict[str, Any]:
        """A report of the session: state, model, session id, model status and
        the id of the latest model request."""
        return {"state": self.state, "model": self.model, "session_id": self.session_id,
                "model_status": self.model_status(), "last_request_id": self.last_request_id}
