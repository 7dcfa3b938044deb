"""Typed events of a turn, one dataclass per event kind.

Every event carries all fields of the library's event record; the subclass
tells the kind, so hosts can dispatch with isinstance or match statements.
"""

import ctypes
import json
from dataclasses import dataclass, field
from typing import Any, List, Optional


@dataclass(frozen=True)
class Event:
    type: int = 0
    state: str = "idle"
    text: str = ""
    tool_name: str = ""
    tool_arguments: str = ""
    tool_result: str = ""
    success: bool = True
    task_id: str = ""
    segment: str = ""


@dataclass(frozen=True)
class Notice(Event):
    pass


@dataclass(frozen=True)
class ModelLoading(Event):
    pass


@dataclass(frozen=True)
class StateChanged(Event):
    pass


@dataclass(frozen=True)
class ContentDelta(Event):
    pass


@dataclass(frozen=True)
class ReasoningDelta(Event):
    pass


@dataclass(frozen=True)
class ToolCallStarted(Event):
    pass


@dataclass(frozen=True)
class ToolCallFinished(Event):
    pass


@dataclass(frozen=True)
class Done(Event):
    pass


@dataclass(frozen=True)
class Error(Event):
    pass


@dataclass(frozen=True)
class PlanReady(Event):
    pass


@dataclass(frozen=True)
class TaskStarted(Event):
    pass


@dataclass(frozen=True)
class TaskProgress(Event):
    pass


@dataclass(frozen=True)
class TaskSucceeded(Event):
    pass


@dataclass(frozen=True)
class TaskFailed(Event):
    pass


@dataclass(frozen=True)
class SegmentUpdate(Event):
    def segment_json(self) -> Any:
        return json.loads(self.segment) if self.segment else None


# Index = the library's event kind.
EVENT_TYPES = (Notice, ModelLoading, StateChanged, ContentDelta, ReasoningDelta, ToolCallStarted,
               ToolCallFinished, Done, Error, PlanReady, TaskStarted, TaskProgress, TaskSucceeded,
               TaskFailed, SegmentUpdate)


def _text(address) -> str:
    if not address:
        return ""
    # Event texts are passed as the engine produced them, not repaired.
    return ctypes.string_at(address).decode("utf-8", errors="replace")


def event_from_native(record) -> Event:
    kind = record.type if 0 <= record.type < len(EVENT_TYPES) else 0
    return EVENT_TYPES[kind](
        type=kind,
        state=_text(record.state),
        text=_text(record.text),
        tool_name=_text(record.tool_name),
        tool_arguments=_text(record.tool_arguments),
        tool_result=_text(record.tool_result),
        success=bool(record.success),
        task_id=_text(record.task_id),
        segment=_text(record.segment),
    )


@dataclass
class ChatResult:
    """What a turn produced, gathered from its events."""
    success: bool = False
    cancelled: bool = False
    error: str = ""
    content: str = ""
    reasoning: str = ""
    # One {"name", "arguments"} entry per tool call the turn announced.
    tool_calls: List[dict] = field(default_factory=list)
    # The raw result text of every finished tool call.
    tool_results: List[str] = field(default_factory=list)
    events: List[Event] = field(default_factory=list)
    request_id: Optional[str] = None

    def add(self, event: Event) -> None:
        self.events.append(event)
        if isinstance(event, ContentDelta):
            self.content += event.text
        elif isinstance(event, ReasoningDelta):
            self.reasoning += event.text
        elif isinstance(event, ToolCallStarted):
            self.tool_calls.append({"name": event.tool_name, "arguments": event.tool_arguments})
        elif isinstance(event, ToolCallFinished):
            self.tool_results.append(event.tool_result)
        elif isinstance(event, Done):
            # Done carries the whole answer, also when content streaming was off.
            self.content = event.text
