"""Python binding of the vexa_core agent runtime (ctypes over its C interface)."""

from . import _native
from ._errors import VexaCoreError
from .events import (ChatResult, ContentDelta, Done, Error, Event, ModelLoading, Notice, PlanReady,
                     ReasoningDelta, SegmentUpdate, StateChanged, TaskFailed, TaskProgress, TaskStarted,
                     TaskSucceeded, ToolCallFinished, ToolCallStarted)
from .session import (POLICY_NO_LOCAL_IDENTITY, POLICY_NO_LOCAL_MEMORY, POLICY_NO_LOCAL_SKILLS,
                      POLICY_NO_LOCAL_SOUL, POLICY_NO_MODEL_TOOL, POLICY_NO_PERSISTENCE, Session, TurnStream)
from .tools import Tool, schema_from_function, tool

__version__ = "0.1.0"

# A record that drifted from the header would corrupt memory on the first call.
_native.check_layouts()

__all__ = [
    "VexaCoreError", "Session", "TurnStream", "ChatResult", "Tool", "tool", "schema_from_function",
    "Event", "Notice", "ModelLoading", "StateChanged", "ContentDelta", "ReasoningDelta", "ToolCallStarted",
    "ToolCallFinished", "Done", "Error", "PlanReady", "TaskStarted", "TaskProgress", "TaskSucceeded",
    "TaskFailed", "SegmentUpdate",
    "POLICY_NO_LOCAL_SKILLS", "POLICY_NO_LOCAL_SOUL", "POLICY_NO_LOCAL_IDENTITY", "POLICY_NO_LOCAL_MEMORY",
    "POLICY_NO_PERSISTENCE", "POLICY_NO_MODEL_TOOL",
]
