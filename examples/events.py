"""Replay newline-delimited JSON gateway events into the tarnwick cache.

Every line holds one event, ``{"type": ..., "data": {...}}``:

``GUILD_CREATE``
    guild fields, plus ``roles``, ``emojis`` and ``members`` arrays; each
    member carries its user as a nested ``user`` object.
``GUILD_MEMBER_ADD``
    ``guild_id``, the member's fields and its nested ``user``.
``MESSAGE_CREATE``
    message fields, the author as a nested ``author`` user object.
``USER_UPDATE``
    user fields.

Payload keys are the constructors' parameter names; keys that are not a
parameter are ignored.  Unsigned 64-bit values (ids, role-id lists,
permissions) arrive as decimal strings and are turned into ints here; every
other value goes to the constructors as it came out of JSON, so their own type
checks apply.

A line that cannot be applied raises one ``EventError`` and changes nothing in
the cache; ``Replay.run`` reports it as ``line N: <message>`` and goes on.
"""

import inspect
import json
import sys

import tarnwick

__all__ = ["EventError", "Replay", "EVENT_TYPES"]

U64_MAX = 2 ** 64 - 1

EVENT_TYPES = ("GUILD_CREATE", "GUILD_MEMBER_ADD", "MESSAGE_CREATE", "USER_UPDATE")


class EventError(Exception):
    """An event line that cannot be turned into cache records."""


def _type_name(value):
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "a boolean"
    if isinstance(value, (int, float)):
        return "a number"
    if isinstance(value, str):
        return "a string"
    if isinstance(value, list):
        return "an array"
    if isinstance(value, dict):
        return "an object"
    return type(value).__name__


def _wide(value):
    """Convert one unsigned 64-bit wire value (a decimal string) to int."""
    if isinstance(value, str):
        # isdigit() alone would let through other scripts' digits and '²'.
        if not (value.isascii() and value.isdigit()):
            raise EventError("%r is not a decimal id" % (value,))
        # The length guard keeps int() cheap on absurd inputs.
        if len(value) > 40 or int(value) > U64_MAX:
            raise EventError("%s is out of the unsigned 64-bit range" % value)
        return int(value)
    if isinstance(value, bool):
        raise EventError("expected a decimal id string, got a boolean")
    # Plain numbers and null go to the constructor, which checks them.
    return value


def _wide_list(value):
    if not isinstance(value, list):
        return value  # the constructor reports the wrong type
    out = []
    for i, item in enumerate(value):
        try:
            out.append(_wide(item))
        except EventError as e:
            raise EventError("[%d]: %s" % (i, e)) from None
    return out


# The one table of wire conversions.  Every parameter named ``id`` or ending
# in ``_id`` is an unsigned 64-bit id; the names below are the other
# unsigned 64-bit parameters.  Everything else passes through unchanged.
_WIDE_BY_NAME = {
    "permissions": _wide,   # a bit set wider than 53 bits, sent as a string
    "roles": _wide_list,    # role ids of a member or an emoji
}


def _parameters(cls):
    """Parameter names of a record class, read from its text signature.

    Python 3.9 drops the text signature of a class built as a heap type;
    there the names come from the class's read-only attributes, which match
    the constructor's parameters one for one.
    """
    sig = getattr(cls, "__text_signature__", None)
    if sig and sig.startswith("(") and sig.endswith(")"):
        names = [part.split("=", 1)[0].strip() for part in sig[1:-1].split(",")]
    else:
        names = [name for name, attr in vars(cls).items()
                 if inspect.isdatadescriptor(attr) and not name.startswith("_")]
    names = [name for name in names if name.isidentifier()]
    if not names:
        raise RuntimeError("cannot tell the parameters of %s" % cls.__name__)
    return names


def _converters(cls):
    table = {}
    for name in _parameters(cls):
        if name == "id" or name.endswith("_id"):
            table[name] = _wide
        else:
            table[name] = _WIDE_BY_NAME.get(name)
    return table


_PASS = object()


class Replay:
    """Applies events to the cache and keeps the guilds it has built.

    ``flush_every`` sets how many events may pass before member additions
    become visible to ``tarnwick.get_member``; ``run`` also flushes at the end.
    The live guilds are kept besides the filed copies, so every guild's
    collections are held twice.
    """

    def __init__(self, flush_every=5000):
        self.flush_every = flush_every
        self._fields = {
            cls: _converters(cls)
            for cls in (tarnwick.full_user, tarnwick.full_member,
                        tarnwick.full_role, tarnwick.full_emoji,
                        tarnwick.full_message, tarnwick.full_guild)
        }
        self._handlers = {
            "GUILD_CREATE": self._guild_create,
            "GUILD_MEMBER_ADD": self._member_add,
            "MESSAGE_CREATE": self._message_create,
            "USER_UPDATE": self._user_update,
        }
        # Live guild objects, by id: GUILD_MEMBER_ADD adds to these.
        self.guilds = {}
        self._dirty = {}          # guild id -> None, in order of first change
        self._since_flush = 0
        self.events = dict.fromkeys(EVENT_TYPES, 0)
        self.filed = dict.fromkeys(
            ("users", "guilds", "roles", "emojis", "members", "messages"), 0)
        self.guild_refiles = 0
        self.members_by_guild = {}
        self.errors = []          # (line number, message), first 100 only
        self.error_count = 0
        self.lines = 0
        # The latest ids seen, for sample lookups.
        self.last_user_id = None
        self.last_message_id = None
        self.last_member = None   # (guild id, user id)

    # -- building records ---------------------------------------------------

    def _build(self, cls, obj, where, **derived):
        if not isinstance(obj, dict):
            raise EventError("%s: expected an object, got %s"
                             % (where, _type_name(obj)))
        fields = self._fields[cls]
        kwargs = derived
        for key, value in obj.items():
            conv = fields.get(key, _PASS)
            if conv is _PASS:
                continue
            if conv is not None:
                try:
                    value = conv(value)
                except EventError as e:
                    raise EventError("%s.%s: %s" % (where, key, e)) from None
            kwargs[key] = value
        try:
            return cls(**kwargs)
        except (TypeError, ValueError, OverflowError) as e:
            # TypeError/OverflowError from the conversion rules;
            # UnicodeEncodeError (a ValueError) for lone surrogates.
            raise EventError("%s: %s" % (where, e)) from None

    def _with_user(self, obj, where, user_key, id_key):
        """Build a record's nested user and the id the record takes from it."""
        if not isinstance(obj, dict):
            raise EventError("%s: expected an object, got %s"
                             % (where, _type_name(obj)))
        nested = obj.get(user_key)
        if nested is None:
            return None, {}
        user = self._build(tarnwick.full_user, nested,
                           "%s.%s" % (where, user_key))
        if id_key in obj:
            try:
                given = _wide(obj[id_key])
            except EventError as e:
                raise EventError("%s.%s: %s" % (where, id_key, e)) from None
            if given != user.id:
                raise EventError("%s: %s %r does not match %s.id %d"
                                 % (where, id_key, obj[id_key], user_key, user.id))
            return user, {}
        return user, {id_key: user.id}

    def _member(self, obj, where):
        user, derived = self._with_user(obj, where, "user", "user_id")
        return user, self._build(tarnwick.full_member, obj, where, **derived)

    @staticmethod
    def _array(data, key, where):
        items = data.get(key)
        if items is None:
            return []
        if not isinstance(items, list):
            raise EventError("%s.%s: expected an array, got %s"
                             % (where, key, _type_name(items)))
        return items

    # -- event handlers: build everything first, then file -------------------

    def _guild_create(self, data):
        guild = self._build(tarnwick.full_guild, data, "guild")
        roles = [self._build(tarnwick.full_role, r, "roles[%d]" % i)
                 for i, r in enumerate(self._array(data, "roles", "guild"))]
        emojis = [self._build(tarnwick.full_emoji, e, "emojis[%d]" % i)
                  for i, e in enumerate(self._array(data, "emojis", "guild"))]
        members = [self._member(m, "members[%d]" % i)
                   for i, m in enumerate(self._array(data, "members", "guild"))]
        for role in roles:
            guild.add_role(role)
        for emoji in emojis:
            guild.add_emoji(emoji)
        for user, member in members:
            guild.add_member(member)
            if user is not None:
                self._file_user(user)
        tarnwick.register_guild(guild)
        gid = guild.id
        self.guilds[gid] = guild
        self._dirty.pop(gid, None)
        self.filed["guilds"] += 1
        self.filed["roles"] += len(roles)
        self.filed["emojis"] += len(emojis)
        self.filed["members"] += len(members)
        self.members_by_guild[gid] = len(members)
        if members:
            self.last_member = (gid, members[-1][1].user_id)

    def _member_add(self, data):
        if not isinstance(data, dict) or "guild_id" not in data:
            raise EventError("member: missing guild_id")
        try:
            gid = _wide(data["guild_id"])
            if not isinstance(gid, int):
                raise EventError("expected a decimal id string, got %s"
                                 % _type_name(gid))
        except EventError as e:
            raise EventError("member.guild_id: %s" % e) from None
        user, member = self._member(data, "member")
        guild = self.guilds.get(gid)
        if guild is None:
            try:
                guild = tarnwick.get_guild(gid)
            except (TypeError, OverflowError) as e:
                raise EventError("member.guild_id: %s" % e) from None
            if guild is None:
                raise EventError("member: unknown guild %s" % (gid,))
            self.guilds[gid] = guild   # adopt the filed copy as the live one
        guild.add_member(member)
        if user is not None:
            self._file_user(user)
        # Filing a guild copies all of its members, so doing it here would make
        # a member add cost O(guild size).  Instead the guild is marked and
        # filed once per flush (every `flush_every` events and at the end of a
        # run): one copy covers all the adds since the last flush, at the price
        # of get_member lagging by at most one flush interval.
        self._dirty[gid] = None
        self.filed["members"] += 1
        self.members_by_guild[gid] = self.members_by_guild.get(gid, 0) + 1
        self.last_member = (gid, member.user_id)

    def _message_create(self, data):
        author, derived = self._with_user(data, "message", "author", "author_id")
        message = self._build(tarnwick.full_message, data, "message", **derived)
        if author is not None:
            self._file_user(author)
        tarnwick.register_message(message)
        self.filed["messages"] += 1
        self.last_message_id = message.id

    def _user_update(self, data):
        self._file_user(self._build(tarnwick.full_user, data, "user"))

    def _file_user(self, user):
        tarnwick.register_user(user)
        self.filed["users"] += 1
        self.last_user_id = user.id

    # -- driving ------------------------------------------------------------

    def apply(self, event):
        """Apply one decoded event; raises EventError if it is malformed."""
        if not isinstance(event, dict):
            raise EventError("event must be an object, got %s" % _type_name(event))
        kind = event.get("type")
        handler = self._handlers.get(kind) if isinstance(kind, str) else None
        if handler is None:
            if "type" not in event:
                raise EventError("event has no type")
            raise EventError("unknown event type %r" % (kind,))
        data = event.get("data")
        if not isinstance(data, dict):
            raise EventError("%s: data must be an object, got %s"
                             % (kind, _type_name(data)))
        try:
            handler(data)
        except EventError as e:
            raise EventError("%s: %s" % (kind, e)) from None
        self.events[kind] += 1
        self._since_flush += 1
        if self._since_flush >= self.flush_every:
            self.flush()

    def apply_line(self, line):
        """Decode and apply one line (str or bytes); raises EventError."""
        try:
            event = json.loads(line)
        except (ValueError, RecursionError) as e:
            # JSONDecodeError and UnicodeDecodeError are ValueErrors.
            raise EventError("bad JSON: %s" % e) from None
        self.apply(event)

    def flush(self):
        """File every guild that gained members since the last flush."""
        for gid in self._dirty:
            tarnwick.register_guild(self.guilds[gid])
            self.guild_refiles += 1
        self._dirty.clear()
        self._since_flush = 0

    def run(self, lines, report=None, start=1):
        """Apply every line; malformed ones are reported and skipped.

        ``report(line_number, message)`` defaults to printing
        ``line N: message`` on standard error.  Blank lines are skipped
        silently.  Returns self.
        """
        if report is None:
            report = _print_error
        n = start - 1
        for n, line in enumerate(lines, start):
            line = line.strip()
            if not line:
                continue
            try:
                self.apply_line(line)
            except EventError as e:
                self.error_count += 1
                if len(self.errors) < 100:
                    self.errors.append((n, str(e)))
                report(n, str(e))
        self.lines += n - start + 1
        self.flush()
        return self


def _print_error(line_number, message):
    print("line %d: %s" % (line_number, message), file=sys.stderr)
