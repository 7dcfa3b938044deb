#!/usr/bin/env python3
"""Streams one turn with one tool through the vexa_core Python package.

    VEXA_BASE_URL=http://127.0.0.1:8080/v1 VEXA_MODEL=my-model \
        python3 examples/python/stream_turn.py "What time is it?"

Environment:
  VEXA_BASE_DIR    base directory (default: ./vexa_example_data); its
                   config/agent_config.json is written when VEXA_BASE_URL is set
  VEXA_BASE_URL    chat-completions server, e.g. http://127.0.0.1:8080/v1
  VEXA_MODEL       model name (default: default)
  VEXA_API_KEY     API key, if the server wants one
  VEXA_CORE_LIBRARY  path of libvexa_core.so when it is not installed
"""

import datetime
import json
import os
import sys

import vexa_core


def current_time(timezone: str = "local") -> dict:
    """Returns the current date and time.

    Args:
        timezone: "local" or "utc".
    """
    now = datetime.datetime.now(datetime.timezone.utc) if timezone == "utc" else datetime.datetime.now()
    return {"success": True, "time": now.isoformat(timespec="seconds"), "timezone": timezone}


def write_config(base_dir: str) -> None:
    config = {"llm": {"base_url": os.environ["VEXA_BASE_URL"], "model": os.environ.get("VEXA_MODEL", "default"),
                      "api_key": os.environ.get("VEXA_API_KEY", "")}}
    os.makedirs(os.path.join(base_dir, "config"), exist_ok=True)
    with open(os.path.join(base_dir, "config", "agent_config.json"), "w", encoding="utf-8") as f:
        json.dump(config, f, indent=2)


def main() -> int:
    base_dir = os.path.abspath(os.environ.get("VEXA_BASE_DIR", "vexa_example_data"))
    if os.environ.get("VEXA_BASE_URL"):
        write_config(base_dir)
    question = " ".join(sys.argv[1:]) or "What time is it? Use the tool."

    with vexa_core.Session(base_dir=base_dir) as session:
        session.register_tool(current_time)
        stream = session.stream(question)
        for event in stream:
            if isinstance(event, vexa_core.ContentDelta):
                print(event.text, end="", flush=True)
            elif isinstance(event, vexa_core.ToolCallStarted):
                print("\n[tool] %s %s" % (event.tool_name, event.tool_arguments), flush=True)
            elif isinstance(event, vexa_core.ToolCallFinished):
                print("[tool result] %s" % event.tool_result, flush=True)
        print()
        if not stream.result.success:
            print("turn failed: %s" % stream.result.error, file=sys.stderr)
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
