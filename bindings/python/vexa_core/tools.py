"""Host tools from Python callables: JSON Schema from type hints and docstrings."""

import enum
import inspect
import json
import re
import typing
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, List, Optional, Sequence

_SIMPLE = {str: "string", int: "integer", float: "number", bool: "boolean",
           dict: "object", list: "array", tuple: "array"}


def _schema_for(hint) -> Dict[str, Any]:
    """JSON Schema of one annotated parameter; unknown types give an empty schema."""
    if hint is inspect.Parameter.empty or hint is Any:
        return {}
    origin = typing.get_origin(hint)
    args = typing.get_args(hint)
    if origin is typing.Union or (origin is not None and getattr(origin, "__name__", "") == "UnionType"):
        options = [a for a in args if a is not type(None)]
        if len(options) == 1:
            return _schema_for(options[0])
        return {"anyOf": [_schema_for(a) for a in options]}
    if origin is typing.Literal:
        values = list(args)
        schema = {"enum": values}
        kinds = {type(v) for v in values}
        if len(kinds) == 1 and next(iter(kinds)) in _SIMPLE:
            schema["type"] = _SIMPLE[next(iter(kinds))]
        return schema
    if origin in (list, tuple, set, frozenset, Sequence) or hint in (list, tuple):
        schema = {"type": "array"}
        if args and args[0] is not Ellipsis:
            schema["items"] = _schema_for(args[0])
        return schema
    if origin is dict or hint is dict:
        return {"type": "object"}
    if inspect.isclass(hint) and issubclass(hint, enum.Enum):
        return {"enum": [m.value for m in hint]}
    if hint in _SIMPLE:
        return {"type": _SIMPLE[hint]}
    return {}


def _parse_docstring(doc: str):
    """Summary and per-parameter descriptions (Google "Args:" or Sphinx ":param x:" style)."""
    doc = inspect.cleandoc(doc or "")
    if not doc:
        return "", {}
    params: Dict[str, str] = {}
    summary_lines: List[str] = []
    section = None
    current = None
    for line in doc.splitlines():
        stripped = line.strip()
        sphinx = re.match(r":param\s+(?:[\w\[\], .|]+\s+)?(\w+):\s*(.*)", stripped)
        if sphinx:
            current = sphinx.group(1)
            params[current] = sphinx.group(2).strip()
            section = "sphinx"
            continue
        if re.match(r"(Args|Arguments|Parameters|Params):\s*$", stripped):
            section = "args"
            current = None
            continue
        if re.match(r"(Returns|Return|Raises|Yields|Examples?|Notes?):\s*$", stripped) or \
                stripped.startswith(":"):
            section = "other"
            current = None
            continue
        if section == "args":
            m = re.match(r"(\w+)\s*(?:\([^)]*\))?\s*:\s*(.*)", stripped)
            if m and not line.startswith("        "):
                current = m.group(1)
                params[current] = m.group(2).strip()
            elif current and stripped:
                params[current] = (params[current] + " " + stripped).strip()
            continue
        if section == "sphinx":
            if current and stripped:
                params[current] = (params[current] + " " + stripped).strip()
            continue
        if section is None:
            summary_lines.append(line)
    summary = "\n".join(summary_lines).strip()
    # The description is the first paragraph: the rest is usually detail for humans.
    summary = summary.split("\n\n", 1)[0].replace("\n", " ").strip()
    return summary, params


def schema_from_function(func: Callable) -> Dict[str, Any]:
    """The argument schema of `func`: one property per parameter, required when it has no default."""
    signature = inspect.signature(func)
    try:
        hints = typing.get_type_hints(func)
    except Exception:
        hints = {}
    _, param_docs = _parse_docstring(func.__doc__ or "")
    properties: Dict[str, Any] = {}
    required: List[str] = []
    for name, param in signature.parameters.items():
        if param.kind in (inspect.Parameter.VAR_POSITIONAL, inspect.Parameter.VAR_KEYWORD):
            continue
        hint = hints.get(name, param.annotation)
        schema = _schema_for(hint)
        if name in param_docs and param_docs[name]:
            schema["description"] = param_docs[name]
        if param.default is not inspect.Parameter.empty:
            if param.default is None or isinstance(param.default, (str, int, float, bool)):
                if param.default is not None:
                    schema["default"] = param.default
        else:
            optional = typing.get_origin(hint) is typing.Union and type(None) in typing.get_args(hint)
            if not optional:
                required.append(name)
        properties[name] = schema
    schema = {"type": "object", "properties": properties}
    if required:
        schema["required"] = required
    return schema


@dataclass
class Tool:
    """A host tool: its name, description, argument schema and the function that runs it."""
    name: str
    function: Optional[Callable[..., Any]]
    description: str = ""
    parameters: Dict[str, Any] = field(default_factory=dict)
    keywords: List[str] = field(default_factory=list)

    @classmethod
    def from_function(cls, func: Callable, name: Optional[str] = None, description: Optional[str] = None,
                      parameters: Optional[Dict[str, Any]] = None,
                      keywords: Optional[Sequence[str]] = None) -> "Tool":
        summary, _ = _parse_docstring(func.__doc__ or "")
        return cls(name=name or func.__name__,
                   function=func,
                   description=summary if description is None else description,
                   parameters=schema_from_function(func) if parameters is None else parameters,
                   keywords=list(keywords or []))

    def invoke(self, arguments_json: str) -> str:
        """Runs the function with the model's arguments and returns the result text.

        Exceptions become a failed result, so nothing escapes into the library.
        """
        try:
            arguments = json.loads(arguments_json) if arguments_json.strip() else {}
        except ValueError as exc:
            return _failure("Failed to parse arguments: %s" % exc)
        try:
            if isinstance(arguments, dict):
                value = self.function(**arguments)
            else:
                value = self.function(arguments)
        except Exception as exc:  # the model's call fails, the turn goes on
            return _failure("Tool executor error: %s" % (exc or type(exc).__name__))
        return result_text(value)


def result_text(value: Any) -> str:
    """Result text of a tool's return value: text as it is, an object as JSON,
    anything else wrapped in {"success": true, "result": ...}."""
    if isinstance(value, str):
        return value
    if isinstance(value, dict):
        return json.dumps(value, ensure_ascii=False, default=str)
    if value is None:
        return json.dumps({"success": True})
    return json.dumps({"success": True, "result": value}, ensure_ascii=False, default=str)


def _failure(message: str) -> str:
    return json.dumps({"success": False, "error": message}, ensure_ascii=False)


def tool(name: Optional[str] = None, description: Optional[str] = None,
         parameters: Optional[Dict[str, Any]] = None, keywords: Optional[Sequence[str]] = None):
    """Decorator form: @tool() marks a function; Session.register_tool accepts it."""
    def wrap(func):
        func.__vexa_tool__ = Tool.from_function(func, name=name, description=description,
                                                parameters=parameters, keywords=keywords)
        return func
    return wrap
