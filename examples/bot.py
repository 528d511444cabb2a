"""A small bot on the tarnwick cache: keep it in step with the gateway, answer !whois.

    python3 examples/bot.py [EVENTS.jsonl]      (standard input by default)

Each line is one event, ``{"type": ..., "data": {...}}``, as examples/demo.py
writes them (``--write``), and goes to ``events.apply``, which files what it
carries.  A message ``!whois`` in a guild is answered, on standard output,
with the author's cached member and user record as JSON.  A line that holds
no event (not UTF-8, not JSON) or a malformed one is reported on standard
error by its number and skipped, as is a bad entry of an event that carries
many (a member of a GUILD_CREATE, say); the rest of the stream goes on.
"""

from __future__ import annotations

import json
import sys
from typing import Any, Dict, Iterable, Optional

import tarnwick
from tarnwick_extras import PayloadError, as_dict, events, payloads


def report(number: int, text: str) -> None:
    print(f"line {number}: {text}", file=sys.stderr)


def whois(guild_id: int, user_id: int) -> None:
    member = tarnwick.get_member(guild_id, user_id)
    user = tarnwick.get_user(user_id)
    reply: Dict[str, Optional[Dict[str, Any]]] = {
        "member": as_dict(member) if member is not None else None,
        "user": as_dict(user) if user is not None else None,
    }
    print(json.dumps(reply))


def on_message(data: Dict[str, Any]) -> None:
    """Answers the command in a message events.apply() has just filed."""
    message = tarnwick.get_message(payloads.parse_id(data["id"], "id"))
    if (message is not None and message.guild_id is not None and message.webhook_id is None
            and message.content.strip() == "!whois"):
        whois(message.guild_id, message.author_id)


def handle(number: int, line: str) -> None:
    """One line of the stream; raises ValueError for one that holds no
    event and PayloadError (a ValueError) for malformed data."""
    event = json.loads(line)
    if not isinstance(event, dict) or not isinstance(event.get("type"), str):
        raise ValueError('not an event: expected an object with a string "type"')
    kind: str = event["type"]
    data: Any = event.get("data")
    try:
        outcome = events.apply(kind, data,
                               on_skip=lambda error: report(number, f"{kind}: skipped {error}"))
    except PayloadError as e:
        raise ValueError(f"{kind}: {e}") from e
    if kind == "MESSAGE_CREATE" and outcome is events.Outcome.APPLIED:
        on_message(data)


def run(lines: Iterable[bytes]) -> int:
    """Handle every line of the stream; returns how many were skipped."""
    bad = 0
    for number, raw in enumerate(lines, 1):
        try:
            line = raw.decode("utf-8")
        except UnicodeDecodeError as e:
            bad += 1
            report(number, f"not UTF-8: {e.reason} at byte {e.start}")
            continue
        if not line.strip():
            continue
        try:
            handle(number, line)
        except json.JSONDecodeError as e:
            bad += 1
            report(number, f"bad JSON: {e}")
        except (ValueError, RecursionError) as e:
            bad += 1
            report(number, str(e))
    return bad


if __name__ == "__main__":
    if len(sys.argv) > 1:
        with open(sys.argv[1], "rb") as f:
            run(f)
    else:
        run(sys.stdin.buffer)
