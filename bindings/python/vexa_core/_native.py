"""ctypes declarations of the flat C interface (vexa_core.h) and the library loader.

Nothing here is compiled: the records are mirrored field by field and checked
against the sizes and offsets the header documents, so a drift between this
file and the library's header is reported at import instead of corrupting
memory later.
"""

import ctypes
import ctypes.util
import os
import sys

from ._errors import VexaCoreError

c_char_p_p = ctypes.POINTER(ctypes.c_char_p)


class VexaCoreInitOptions(ctypes.Structure):
    _fields_ = [
        ("base_dir", ctypes.c_char_p),
        ("config_path", ctypes.c_char_p),
        ("host_policy_flags", ctypes.c_uint32),
    ]


class VexaCoreChatOptions(ctypes.Structure):
    _fields_ = [
        ("stream_content", ctypes.c_int32),
        ("stream_reasoning", ctypes.c_int32),
        ("emit_tool_events", ctypes.c_int32),
        ("max_tool_rounds", ctypes.c_int32),
        ("orchestration", ctypes.c_int32),
        ("tools", c_char_p_p),
        ("tool_count", ctypes.c_int32),
        ("turn_system_prompt", ctypes.c_char_p),
        ("only_listed_tools", ctypes.c_int32),
        ("struct_size", ctypes.c_uint32),
        ("images_json", ctypes.c_char_p),
    ]


class VexaCoreToolSpec(ctypes.Structure):
    _fields_ = [
        ("name", ctypes.c_char_p),
        ("description", ctypes.c_char_p),
        ("type", ctypes.c_char_p),
        ("properties_json", ctypes.c_char_p),
        ("parameters_json", ctypes.c_char_p),
        ("required", c_char_p_p),
        ("required_count", ctypes.c_int32),
        ("keywords", c_char_p_p),
        ("keyword_count", ctypes.c_int32),
    ]


class VexaCoreLlmOverride(ctypes.Structure):
    _fields_ = [
        ("base_url", ctypes.c_char_p),
        ("api_key", ctypes.c_char_p),
        ("model", ctypes.c_char_p),
        ("has_temperature", ctypes.c_int32),
        ("temperature", ctypes.c_double),
        ("has_max_tokens", ctypes.c_int32),
        ("max_tokens", ctypes.c_int32),
        ("has_timeout_seconds", ctypes.c_int32),
        ("timeout_seconds", ctypes.c_int32),
        ("backend", ctypes.c_char_p),
    ]


class VexaCoreHostLlmContext(ctypes.Structure):
    _fields_ = [
        ("gateway_url", ctypes.c_char_p),
        ("cookie", ctypes.c_char_p),
        ("referer", ctypes.c_char_p),
        ("user", ctypes.c_char_p),
        ("qorbin_ext", ctypes.c_char_p),
    ]


class VexaCoreEvent(ctypes.Structure):
    # Event strings are read through c_void_p and copied by hand: they are valid
    # only during the callback and are not guaranteed to be UTF-8.
    _fields_ = [
        ("type", ctypes.c_int32),
        ("state", ctypes.c_void_p),
        ("text", ctypes.c_void_p),
        ("tool_name", ctypes.c_void_p),
        ("tool_arguments", ctypes.c_void_p),
        ("tool_result", ctypes.c_void_p),
        ("success", ctypes.c_int32),
        ("task_id", ctypes.c_void_p),
        ("segment", ctypes.c_void_p),
    ]


STRUCTURES = {
    cls.__name__: cls
    for cls in (VexaCoreInitOptions, VexaCoreChatOptions, VexaCoreToolSpec,
                VexaCoreLlmOverride, VexaCoreHostLlmContext, VexaCoreEvent)
}

# Sizes and offsets that vexa_core.h asserts for 64-bit targets.
EXPECTED_LAYOUTS_64 = {
    "VexaCoreInitOptions": (24, {"host_policy_flags": 16}),
    "VexaCoreChatOptions": (64, {"orchestration": 16, "tools": 24, "tool_count": 32,
                                 "turn_system_prompt": 40, "only_listed_tools": 48,
                                 "struct_size": 52, "images_json": 56}),
    "VexaCoreToolSpec": (72, {"parameters_json": 32, "required": 40, "required_count": 48,
                              "keywords": 56, "keyword_count": 64}),
    "VexaCoreLlmOverride": (64, {"has_temperature": 24, "temperature": 32, "has_max_tokens": 40,
                                 "max_tokens": 44, "has_timeout_seconds": 48,
                                 "timeout_seconds": 52, "backend": 56}),
    "VexaCoreHostLlmContext": (40, {"qorbin_ext": 32}),
    "VexaCoreEvent": (72, {"state": 8, "tool_result": 40, "success": 48, "task_id": 56,
                           "segment": 64}),
}


def check_layouts(structures=None, expected=None):
    """Raises VexaCoreError when a record differs from the header's layout.

    Both arguments default to this module's records and the header's numbers;
    they exist so the check itself can be exercised with a drifted record.
    The header documents 64-bit layouts only; on other targets nothing is checked.
    """
    structures = STRUCTURES if structures is None else structures
    if expected is None:
        if ctypes.sizeof(ctypes.c_void_p) != 8:
            return
        expected = EXPECTED_LAYOUTS_64
    problems = []
    for name, (size, offsets) in expected.items():
        cls = structures.get(name)
        if cls is None:
            problems.append("%s is not declared" % name)
            continue
        if ctypes.sizeof(cls) != size:
            problems.append("%s is %d bytes, the header says %d" % (name, ctypes.sizeof(cls), size))
        for field, offset in offsets.items():
            descriptor = getattr(cls, field, None)
            if descriptor is None:
                problems.append("%s has no field %s" % (name, field))
            elif descriptor.offset != offset:
                problems.append("%s.%s is at offset %d, the header says %d"
                                % (name, field, descriptor.offset, offset))
    if problems:
        raise VexaCoreError("record layout does not match vexa_core.h: " + "; ".join(problems))


EVENT_CALLBACK = ctypes.CFUNCTYPE(None, ctypes.POINTER(VexaCoreEvent), ctypes.c_void_p)
# The executor's result is returned as a raw address of a buffer the binding
# keeps alive; a c_char_p result would point into a freed Python object.
TOOL_EXECUTOR = ctypes.CFUNCTYPE(ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p)
TOOL_CONFIRM = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_void_p)

_H = ctypes.c_void_p
_S = ctypes.c_char_p
_I = ctypes.c_int

# name: (result type, argument types)
SIGNATURES = {
    "vexa_core_create": (_H, []),
    "vexa_core_destroy": (None, [_H]),
    "vexa_core_initialize": (_I, [_H, ctypes.POINTER(VexaCoreInitOptions), EVENT_CALLBACK, ctypes.c_void_p]),
    "vexa_core_shutdown": (None, [_H]),
    "vexa_core_send_text_stream": (_I, [_H, _S, ctypes.POINTER(VexaCoreChatOptions), EVENT_CALLBACK,
                                        ctypes.c_void_p]),
    "vexa_core_cancel": (None, [_H]),
    "vexa_core_is_cancel_requested": (_I, [_H]),
    "vexa_core_oneshot_completion": (_S, [_H, _S, _S]),
    "vexa_core_last_error": (_S, [_H]),
    "vexa_core_current_state": (_S, [_H]),
    "vexa_core_current_model": (_S, [_H]),
    "vexa_core_current_session_id": (_S, [_H]),
    "vexa_core_model_status_json": (_S, [_H]),
    "vexa_core_get_system_prompt": (_S, [_H]),
    "vexa_core_last_llm_request_id": (_S, [_H]),
    "vexa_core_new_session": (_I, [_H]),
    "vexa_core_clear_session": (_I, [_H]),
    "vexa_core_save_session": (_I, [_H]),
    "vexa_core_load_session": (_I, [_H, _S]),
    "vexa_core_add_conversation_from_memory": (_I, [_H, _S]),
    "vexa_core_set_conversation_from_memory": (_I, [_H, _S]),
    "vexa_core_register_tool": (_I, [_H, ctypes.POINTER(VexaCoreToolSpec), TOOL_EXECUTOR, ctypes.c_void_p]),
    "vexa_core_unregister_tool": (_I, [_H, _S]),
    "vexa_core_request_tools": (_I, [_H, c_char_p_p, _I]),
    "vexa_core_set_tool_confirm_callback": (None, [_H, TOOL_CONFIRM, ctypes.c_void_p]),
    "vexa_core_set_system_prompt": (None, [_H, _S]),
    "vexa_core_add_system_prompt": (None, [_H, _S]),
    "vexa_core_set_host_llm_context": (_I, [_H, ctypes.POINTER(VexaCoreHostLlmContext)]),
    "vexa_core_set_llm_override": (_I, [_H, ctypes.POINTER(VexaCoreLlmOverride)]),
    "vexa_core_set_skills_from_memory": (_I, [_H, _S]),
    "vexa_core_set_identity_from_memory": (_I, [_H, _S]),
    "vexa_core_set_soul_from_memory": (_I, [_H, _S]),
}


def _library_names():
    if sys.platform == "win32":
        return ["vexa_core.dll"]
    if sys.platform == "darwin":
        return ["libvexa_core.dylib"]
    return ["libvexa_core.so", "libvexa_core.so.0"]


def _candidates():
    explicit = os.environ.get("VEXA_CORE_LIBRARY")
    if explicit:
        # An explicit choice is final: falling back would hide a wrong path.
        return [explicit], True
    here = os.path.dirname(os.path.abspath(__file__))
    paths = [os.path.join(here, n) for n in _library_names() if os.path.exists(os.path.join(here, n))]
    found = ctypes.util.find_library("vexa_core")
    if found:
        paths.append(found)
    paths.extend(_library_names())
    return paths, False


def load_library():
    """Loads the shared library: $VEXA_CORE_LIBRARY, then a copy next to this
    package, then whatever the system loader finds."""
    paths, explicit = _candidates()
    errors = []
    for path in paths:
        try:
            lib = ctypes.CDLL(path)
        except OSError as exc:
            errors.append("%s: %s" % (path, exc))
            continue
        try:
            for name, (restype, argtypes) in SIGNATURES.items():
                fn = getattr(lib, name)
                fn.restype = restype
                fn.argtypes = argtypes
        except AttributeError as exc:
            errors.append("%s: %s" % (path, exc))
            if explicit:
                break
            continue
        return lib
    where = "VEXA_CORE_LIBRARY" if explicit else "the package directory or the system loader"
    raise VexaCoreError("cannot load the vexa_core library from %s (%s)" % (where, "; ".join(errors)))


_lib = None


def library():
    """The loaded library, loaded on first use."""
    global _lib
    if _lib is None:
        _lib = load_library()
    return _lib
