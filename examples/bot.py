"""A small bot on the tarnwick cache: keep it in step with the gateway, answer commands.

    python3 examples/bot.py [EVENTS.jsonl]      (standard input by default)

Each line is one gateway frame (``{"op": 0, "t": ..., "s": ..., "d": {...}}``
for a dispatch), as examples/demo.py writes them (``--write``), and goes to
``events.apply_frame``, which reads it natively and files what it carries.
The bot decodes none of them itself: for a MESSAGE_CREATE the cache took,
it reads the message back by the frame's ``id``.  A command in a guild
message is answered on
standard output, as one line of JSON, from the cache alone:

    !whois          the author's cached member and user record
    !perms          the author's permissions and the names of their roles
    !roles          the guild's roles, lowest first
    !emojis         the guild's emojis
    !find QUERY     up to 10 members whose nick or name starts with QUERY
    !members        the member count, and whether the author is one
    !cache          how many guilds, users and messages the cache holds

A guild message that the cache held is logged on standard output too
when a MESSAGE_UPDATE changes its content or a MESSAGE_DELETE or
MESSAGE_DELETE_BULK deletes it, from the frame's ``before`` (the message as
it was filed), since the cache holds only what the frame left:

    {"edited": ID, "author_id": ..., "before": OLD CONTENT, "after": NEW CONTENT}
    {"deleted": ID, "author_id": ..., "content": ...}

A line that holds no frame (not UTF-8, not JSON, not a frame) or a
malformed dispatch is reported on standard error by its number and skipped,
as is a bad entry of an event that carries many (a member of a GUILD_CREATE,
say); the rest of the stream goes on.
"""

from __future__ import annotations

import json
import sys
from typing import Any, Callable, Dict, Iterable, List

import tarnwick
from tarnwick_extras import PayloadError, as_dict, cache, events

Reply = Dict[str, Any]


def report(number: int, text: str) -> None:
    print(f"line {number}: {text}", file=sys.stderr)


def whois(guild_id: int, user_id: int, _: str) -> Reply:
    member = tarnwick.get_member(guild_id, user_id)
    user = tarnwick.get_user(user_id)
    return {
        "member": as_dict(member) if member is not None else None,
        "user": as_dict(user) if user is not None else None,
    }


def perms(guild_id: int, user_id: int, _: str) -> Reply:
    held = cache.permissions(guild_id, user_id)    # None: not a filed member
    member = tarnwick.get_member(guild_id, user_id)
    roles = [cache.get_role(guild_id, role_id) for role_id in (member.roles if member else [])]
    return {"permissions": held, "administrator": held == cache.ALL_PERMISSIONS,
            "roles": [role.name for role in roles if role is not None]}


def list_roles(guild_id: int, _: int, __: str) -> Reply:
    return {"roles": [(role.name, role.position) for role in cache.roles(guild_id) or []]}


def list_emojis(guild_id: int, _: int, __: str) -> Reply:
    emojis = cache.emojis(guild_id) or []
    first = cache.get_emoji(guild_id, emojis[0].id) if emojis else None
    return {"emojis": [emoji.name for emoji in emojis], "first_animated": first.animated if first else None}


def find(guild_id: int, _: int, query: str) -> Reply:
    found = cache.find_members(guild_id, query, limit=10) or []
    return {"found": [(member.user_id, member.nick) for member in found]}


def members(guild_id: int, user_id: int, _: str) -> Reply:
    view = cache.members(guild_id)   # a snapshot, however big the guild
    if view is None:
        return {"members": None}
    you = view.get(user_id)
    return {"members": len(view), "member": user_id in view, "pending": sum(m.pending for m in view),
            "joined_at": you.joined_at if you else None, "first_ids": sorted(view.user_ids())[:3]}


def counts(_: int, __: int, ___: str) -> Reply:
    return {"guilds": len(cache.guild_ids()), "users": len(cache.user_ids()),
            "messages": len(cache.message_ids())}


COMMANDS: Dict[str, Callable[[int, int, str], Reply]] = {
    "!whois": whois, "!perms": perms, "!roles": list_roles, "!emojis": list_emojis,
    "!find": find, "!members": members, "!cache": counts,
}


def on_message(message_id: int) -> None:
    """Answers the command in a message events.apply_frame() has just filed."""
    message = tarnwick.get_message(message_id)
    if message is None or message.guild_id is None or message.webhook_id is not None:
        return
    command, _, argument = message.content.strip().partition(" ")
    answer = COMMANDS.get(command)
    if answer is not None:
        print(json.dumps(answer(message.guild_id, message.author_id, argument.strip())))


def log_change(frame: events.Frame) -> None:
    """Logs what an edit or a deletion took from the cache."""
    gone = frame.before if isinstance(frame.before, tuple) else (frame.before,)
    for old in gone:
        if not isinstance(old, tarnwick.full_message) or old.guild_id is None:
            continue
        if frame.type == "MESSAGE_UPDATE":
            new = tarnwick.get_message(old.id)
            if new is not None and new.content != old.content:
                print(json.dumps({"edited": old.id, "author_id": old.author_id, "before": old.content,
                                  "after": new.content}))
        else:
            print(json.dumps({"deleted": old.id, "author_id": old.author_id, "content": old.content}))


def handle(number: int, raw: bytes) -> None:
    """One line of the stream; raises PayloadError (a ValueError) for one
    that holds no frame or a malformed dispatch."""
    skipped: List[PayloadError] = []
    frame = events.apply_frame(raw, on_skip=skipped.append)
    for error in skipped:
        report(number, f"{frame.type}: skipped {error}")
    if frame.type == "MESSAGE_CREATE" and frame.outcome is events.Outcome.APPLIED and frame.id is not None:
        on_message(frame.id)                  # read back from the cache, not decoded again
    elif frame.type in ("MESSAGE_UPDATE", "MESSAGE_DELETE", "MESSAGE_DELETE_BULK"):
        log_change(frame)


def run(lines: Iterable[bytes]) -> int:
    """Handle every line of the stream; returns how many were skipped."""
    bad = 0
    for number, raw in enumerate(lines, 1):
        if not raw.strip():
            continue
        try:
            handle(number, raw)
        except PayloadError as e:
            bad += 1
            report(number, str(e))
    return bad


if __name__ == "__main__":
    if len(sys.argv) > 1:
        with open(sys.argv[1], "rb") as f:
            run(f)
    else:
        run(sys.stdin.buffer)
