"""A small bot on the tarnwick cache: file what the gateway sends, answer !whois.

    python3 examples/bot.py [EVENTS.jsonl]      (standard input by default)

Each line is one event, ``{"type": ..., "data": {...}}``, as examples/demo.py
writes them (``--write``).  A message ``!whois`` in a guild is answered, on
standard output, with the author's cached member and user record as JSON.
A bad event is reported on standard error and skipped.
"""

from __future__ import annotations

import json
import sys
from typing import Any, Callable, Dict, Iterable, Optional

import tarnwick
from tarnwick_extras import PayloadError, as_dict, payloads


def warn(error: PayloadError) -> None:
    print(f"skipped {error}", file=sys.stderr)


def on_guild_create(data: Dict[str, Any]) -> None:
    # A guild with one bad member is still worth having.
    guild = payloads.guild(data, skip_invalid=True, on_skip=warn)
    for user in payloads.guild_users(data, skip_invalid=True, on_skip=warn):
        tarnwick.register_user(user)
    tarnwick.register_guild(guild)


def on_member_add(data: Dict[str, Any]) -> None:
    guild = tarnwick.get_guild(payloads.parse_id(data.get("guild_id"), "guild_id"))
    if guild is None:
        return
    guild.add_member(payloads.member(data))
    user = payloads.member_user(data)
    if user is not None:
        tarnwick.register_user(user)
    # Filing copies the whole guild; a busy bot would batch these.
    tarnwick.register_guild(guild)


def on_message(data: Dict[str, Any]) -> None:
    message = payloads.message(data)
    tarnwick.register_user(payloads.message_author(data))
    tarnwick.register_message(message)
    if message.content.strip() == "!whois" and message.guild_id is not None:
        whois(message.guild_id, message.author_id)


def whois(guild_id: int, user_id: int) -> None:
    member = tarnwick.get_member(guild_id, user_id)
    user = tarnwick.get_user(user_id)
    reply: Dict[str, Optional[Dict[str, Any]]] = {
        "member": as_dict(member) if member is not None else None,
        "user": as_dict(user) if user is not None else None,
    }
    print(json.dumps(reply))


HANDLERS: Dict[str, Callable[[Dict[str, Any]], None]] = {
    "GUILD_CREATE": on_guild_create,
    "GUILD_MEMBER_ADD": on_member_add,
    "MESSAGE_CREATE": on_message,
    "USER_UPDATE": lambda data: tarnwick.register_user(payloads.user(data)),
}


def run(lines: Iterable[str]) -> int:
    """Handle every event line; returns how many were bad."""
    bad = 0
    for number, line in enumerate(lines, 1):
        if not line.strip():
            continue
        try:
            event = json.loads(line)
            if not isinstance(event, dict) or not isinstance(event.get("data"), dict):
                raise ValueError("not an event object")
            handler = HANDLERS.get(str(event.get("type")))
            if handler is not None:
                handler(event["data"])
        except ValueError as e:  # bad JSON or a bad payload (PayloadError)
            bad += 1
            print(f"line {number}: {e}", file=sys.stderr)
    return bad


if __name__ == "__main__":
    if len(sys.argv) > 1:
        with open(sys.argv[1], encoding="utf-8") as f:
            run(f)
    else:
        run(sys.stdin)
