"""bench_cache.py's contenders, behind one set of functions, and what they file.

Both baselines are dicts keyed by id, of @dataclass(slots=True) records (on
3.9, the same dataclasses rebuilt with __slots__), behind the same functions
tarnwick has:
  naive    files and returns the objects themselves; a guild keeps its
           members, roles and emojis in dicts.  The cheapest there is, but
           whoever holds a fetched object can change what is cached.
  copying  the same with a hand-written field copy on the way in and out
           (lists copied; a guild copy copies its dicts and every record in
           them): the value semantics tarnwick gives.
Neither checks field types; tarnwick converts and checks every argument.
Both compute permissions and search members the way tarnwick_extras.cache
does, in Python (the same functions for both: they copy nothing they do not
return).
"""

from __future__ import annotations

import dataclasses
import sys
from operator import attrgetter

import tarnwick
from tarnwick_extras import cache as tw_cache

CONTENDERS = ("tarnwick", "naive", "copying")


def record(cls):
    """dataclass(slots=True); 3.9 has no slots=True, so there the dataclass is
    rebuilt with __slots__, as 3.10 does it."""
    if sys.version_info >= (3, 10):
        return dataclasses.dataclass(slots=True)(cls)
    cls = dataclasses.dataclass(cls)
    names = tuple(f.name for f in dataclasses.fields(cls))
    body = {k: v for k, v in cls.__dict__.items() if k not in names + ("__dict__", "__weakref__")}
    body["__slots__"] = names
    return type(cls)(cls.__name__, cls.__bases__, body)


_new = object.__new__


# The copies set each slot on a bare instance: about twice as fast as calling
# the constructor with every field, so the copying baseline is not handicapped.
@record
class User:
    id: int
    username: str
    discriminator: str | None = None
    global_name: str | None = None
    avatar: str | None = None
    bot: bool = False
    system: bool = False
    mfa_enabled: bool = False
    banner: str | None = None
    accent_color: int | None = None
    locale: str | None = None
    verified: bool = False
    email: str | None = None
    flags: int = 0
    premium_type: int = 0
    public_flags: int = 0

    def copy(self):
        new = _new(User)
        new.id = self.id
        new.username = self.username
        new.discriminator = self.discriminator
        new.global_name = self.global_name
        new.avatar = self.avatar
        new.bot = self.bot
        new.system = self.system
        new.mfa_enabled = self.mfa_enabled
        new.banner = self.banner
        new.accent_color = self.accent_color
        new.locale = self.locale
        new.verified = self.verified
        new.email = self.email
        new.flags = self.flags
        new.premium_type = self.premium_type
        new.public_flags = self.public_flags
        return new


@record
class Member:
    user_id: int
    nick: str | None = None
    avatar: str | None = None
    roles: list = dataclasses.field(default_factory=list)
    joined_at: str = ""
    premium_since: str | None = None
    deaf: bool = False
    mute: bool = False
    flags: int = 0
    pending: bool = False
    permissions: int = 0
    communication_disabled_until: str | None = None

    def copy(self):
        new = _new(Member)
        new.user_id = self.user_id
        new.nick = self.nick
        new.avatar = self.avatar
        new.roles = list(self.roles)
        new.joined_at = self.joined_at
        new.premium_since = self.premium_since
        new.deaf = self.deaf
        new.mute = self.mute
        new.flags = self.flags
        new.pending = self.pending
        new.permissions = self.permissions
        new.communication_disabled_until = self.communication_disabled_until
        return new


@record
class Role:
    id: int
    name: str
    color: int
    hoist: bool
    icon: str | None = None
    unicode_emoji: str | None = None
    position: int = 0
    permissions: int = 0
    managed: bool = False
    mentionable: bool = False

    def copy(self):
        new = _new(Role)
        new.id = self.id
        new.name = self.name
        new.color = self.color
        new.hoist = self.hoist
        new.icon = self.icon
        new.unicode_emoji = self.unicode_emoji
        new.position = self.position
        new.permissions = self.permissions
        new.managed = self.managed
        new.mentionable = self.mentionable
        return new


@record
class Emoji:
    id: int
    name: str | None = None
    roles: list = dataclasses.field(default_factory=list)
    user_id: int | None = None
    require_colons: bool = False
    managed: bool = False
    animated: bool = False
    available: bool = True

    def copy(self):
        new = _new(Emoji)
        new.id = self.id
        new.name = self.name
        new.roles = list(self.roles)
        new.user_id = self.user_id
        new.require_colons = self.require_colons
        new.managed = self.managed
        new.animated = self.animated
        new.available = self.available
        return new


@record
class Message:
    id: int
    channel_id: int
    author_id: int
    content: str
    timestamp: str
    guild_id: int | None = None
    edited_timestamp: str | None = None
    tts: bool = False
    mention_everyone: bool = False
    pinned: bool = False
    webhook_id: int | None = None
    message_type: int = 0
    flags: int = 0

    def copy(self):
        new = _new(Message)
        new.id = self.id
        new.channel_id = self.channel_id
        new.author_id = self.author_id
        new.content = self.content
        new.timestamp = self.timestamp
        new.guild_id = self.guild_id
        new.edited_timestamp = self.edited_timestamp
        new.tts = self.tts
        new.mention_everyone = self.mention_everyone
        new.pinned = self.pinned
        new.webhook_id = self.webhook_id
        new.message_type = self.message_type
        new.flags = self.flags
        return new


@record
class Guild:
    id: int
    name: str
    icon: str | None = None
    splash: str | None = None
    discovery_splash: str | None = None
    owner_id: int = 0
    afk_channel_id: int | None = None
    afk_timeout: int = 0
    widget_enabled: bool = False
    widget_channel_id: int | None = None
    verification_level: int = 0
    default_message_notifications: int = 0
    explicit_content_filter: int = 0
    mfa_level: int = 0
    application_id: int | None = None
    system_channel_id: int | None = None
    system_channel_flags: int = 0
    rules_channel_id: int | None = None
    max_presences: int | None = None
    max_members: int | None = None
    vanity_url_code: str | None = None
    description: str | None = None
    banner: str | None = None
    premium_tier: int = 0
    premium_subscription_count: int | None = None
    preferred_locale: str = "en-US"
    public_updates_channel_id: int | None = None
    max_video_channel_users: int | None = None
    max_stage_video_channel_users: int | None = None
    approximate_member_count: int | None = None
    approximate_presence_count: int | None = None
    nsfw_level: int = 0
    premium_progress_bar_enabled: bool = False
    safety_alerts_channel_id: int | None = None
    features: list = dataclasses.field(default_factory=list)
    roles: dict = dataclasses.field(default_factory=dict)
    members: dict = dataclasses.field(default_factory=dict)
    emojis: dict = dataclasses.field(default_factory=dict)

    def add_role(self, role):
        self.roles[role.id] = role

    def add_member(self, member):
        self.members[member.user_id] = member

    def add_emoji(self, emoji):
        self.emojis[emoji.id] = emoji

    def copy(self):
        new = _new(Guild)
        new.id = self.id
        new.name = self.name
        new.icon = self.icon
        new.splash = self.splash
        new.discovery_splash = self.discovery_splash
        new.owner_id = self.owner_id
        new.afk_channel_id = self.afk_channel_id
        new.afk_timeout = self.afk_timeout
        new.widget_enabled = self.widget_enabled
        new.widget_channel_id = self.widget_channel_id
        new.verification_level = self.verification_level
        new.default_message_notifications = self.default_message_notifications
        new.explicit_content_filter = self.explicit_content_filter
        new.mfa_level = self.mfa_level
        new.application_id = self.application_id
        new.system_channel_id = self.system_channel_id
        new.system_channel_flags = self.system_channel_flags
        new.rules_channel_id = self.rules_channel_id
        new.max_presences = self.max_presences
        new.max_members = self.max_members
        new.vanity_url_code = self.vanity_url_code
        new.description = self.description
        new.banner = self.banner
        new.premium_tier = self.premium_tier
        new.premium_subscription_count = self.premium_subscription_count
        new.preferred_locale = self.preferred_locale
        new.public_updates_channel_id = self.public_updates_channel_id
        new.max_video_channel_users = self.max_video_channel_users
        new.max_stage_video_channel_users = self.max_stage_video_channel_users
        new.approximate_member_count = self.approximate_member_count
        new.approximate_presence_count = self.approximate_presence_count
        new.nsfw_level = self.nsfw_level
        new.premium_progress_bar_enabled = self.premium_progress_bar_enabled
        new.safety_alerts_channel_id = self.safety_alerts_channel_id
        new.features = list(self.features)
        new.roles = {k: r.copy() for k, r in self.roles.items()}
        new.members = {k: m.copy() for k, m in self.members.items()}
        new.emojis = {k: e.copy() for k, e in self.emojis.items()}
        return new


ALL_PERMISSIONS = 2**64 - 1
ADMINISTRATOR = 1 << 3
_by_user_id = attrgetter("user_id")


def _folded_name_key(match):
    return match[0], match[1]


class NaiveCache:
    """Files and returns the objects themselves."""

    def __init__(self):
        self.users, self.guilds, self.messages = {}, {}, {}

    def register_user(self, user):
        self.users[user.id] = user

    def get_user(self, user_id):
        return self.users.get(user_id)

    def remove_user(self, user_id):
        return self.users.pop(user_id, None) is not None

    def register_guild(self, guild):
        self.guilds[guild.id] = guild

    def get_guild(self, guild_id):
        return self.guilds.get(guild_id)

    def get_member(self, guild_id, user_id):
        guild = self.guilds.get(guild_id)
        return None if guild is None else guild.members.get(user_id)

    def put_member(self, guild_id, member):
        guild = self.guilds.get(guild_id)
        if guild is None:
            return False
        guild.members[member.user_id] = member
        return True

    def remove_member(self, guild_id, user_id):
        guild = self.guilds.get(guild_id)
        return guild is not None and guild.members.pop(user_id, None) is not None

    def register_message(self, message):
        self.messages[message.id] = message

    def members(self, guild_id):
        """The guild's members, live: what a bot would iterate."""
        guild = self.guilds.get(guild_id)
        return None if guild is None else guild.members.values()

    def permissions(self, guild_id, user_id):
        guild = self.guilds.get(guild_id)
        if guild is None:
            return None
        member = guild.members.get(user_id)
        if member is None:
            return None
        if guild.owner_id == user_id:
            return ALL_PERMISSIONS
        roles = guild.roles
        everyone = roles.get(guild_id)
        held = 0 if everyone is None else everyone.permissions
        for role_id in member.roles:
            role = roles.get(role_id)
            if role is not None:
                held |= role.permissions
        return ALL_PERMISSIONS if held & ADMINISTRATOR else held

    def find_members(self, guild_id, query, limit=25):
        guild = self.guilds.get(guild_id)
        if guild is None:
            return None
        folded = query.casefold()
        users = self.users
        equal, prefixed = [], []
        for member in guild.members.values():
            user = users.get(member.user_id)
            names = (member.nick,) if user is None else (member.nick, user.global_name, user.username)
            matched = None
            for name in names:
                if name is None:
                    continue
                name = name.casefold()
                if name == folded:
                    equal.append(member)
                    break
                if matched is None and name.startswith(folded):
                    matched = name
            else:
                if matched is not None:
                    prefixed.append((matched, member.user_id, member))
        equal.sort(key=_by_user_id)
        prefixed.sort(key=_folded_name_key)
        return self._out((equal + [m for _, _, m in prefixed])[:limit])

    def _out(self, members):
        return members


class CopyView:
    """The copying cache's snapshot of a guild's members: the filed objects
    are never changed in place, so a list of them is a snapshot; each one
    is copied on the way out."""

    def __init__(self, members):
        self._members = list(members)

    def __iter__(self):
        for member in self._members:
            yield member.copy()


class CopyingCache(NaiveCache):
    """Copies on the way in and on the way out."""

    def register_user(self, user):
        self.users[user.id] = user.copy()

    def get_user(self, user_id):
        user = self.users.get(user_id)
        return None if user is None else user.copy()

    def register_guild(self, guild):
        self.guilds[guild.id] = guild.copy()

    def get_guild(self, guild_id):
        guild = self.guilds.get(guild_id)
        return None if guild is None else guild.copy()

    def get_member(self, guild_id, user_id):
        guild = self.guilds.get(guild_id)
        if guild is None:
            return None
        member = guild.members.get(user_id)
        return None if member is None else member.copy()

    def put_member(self, guild_id, member):
        guild = self.guilds.get(guild_id)
        if guild is None:
            return False
        guild.members[member.user_id] = member.copy()
        return True

    def register_message(self, message):
        self.messages[message.id] = message.copy()

    def members(self, guild_id):
        guild = self.guilds.get(guild_id)
        return None if guild is None else CopyView(guild.members.values())

    def _out(self, members):
        return [m.copy() for m in members]


API = ("register_user", "get_user", "remove_user", "register_guild", "get_guild", "get_member",
       "put_member", "remove_member", "register_message", "members", "permissions", "find_members")


class Side:
    """One contender: its record classes and its cache functions."""

    def __init__(self, name):
        self.name = name
        if name == "tarnwick":
            self.user, self.member, self.guild = tarnwick.full_user, tarnwick.full_member, tarnwick.full_guild
            self.role, self.emoji, self.message = tarnwick.full_role, tarnwick.full_emoji, tarnwick.full_message
            for f in API:
                setattr(self, f, getattr(tarnwick, f, None) or getattr(tw_cache, f))
        else:
            self.user, self.member, self.guild = User, Member, Guild
            self.role, self.emoji, self.message = Role, Emoji, Message
            self.cache = NaiveCache() if name == "naive" else CopyingCache()
            for f in API:
                setattr(self, f, getattr(self.cache, f))


# -- what gets filed: fresh ints and strings per record, as a JSON decoder makes them

USER_BASE = 1_100_000_000_000_000_000
MEMBER_BASE = 1_200_000_000_000_000_000
NEWCOMER_BASE = 1_250_000_000_000_000_000
ROLE_BASE = 1_300_000_000_000_000_000
GUILD_BASE = 1_400_000_000_000_000_000
MESSAGE_BASE = 1_500_000_000_000_000_000
CHANNEL_ID = 1_600_000_000_000_000_001
AVATAR = "a_" + "5f" * 16
STAMP = "2023-04-05T06:07:08.123456+00:00"


def make_user(side, i):
    return side.user(USER_BASE + i, "ferris%06d" % i, discriminator="0",
                     global_name="Ferris %d" % i, avatar="%032x" % (i * 2654435761),
                     public_flags=64)


def make_member(side, user_id, i):
    return side.member(user_id, nick=("nick%d" % i) if i % 5 == 0 else None,
                       roles=[ROLE_BASE + i % 7, ROLE_BASE + 100 + i % 13],
                       joined_at="2023-04-05T06:%02d:%02d.%06d+00:00" % (i // 60 % 60, i % 60,
                                                                         i % 1_000_000))


def make_message(side, message_id, i):
    return side.message(message_id, CHANNEL_ID, USER_BASE + i % 5000,
                        "message %d: the kettle is on, come over whenever you like" % i,
                        "2024-05-01T12:%02d:%02d.%06d+00:00" % (i // 60 % 60, i % 60, i % 1_000_000))


def build_permission_guild(side, gid, members, roles=30, held=10):
    """A guild of `members` members, each holding `held` of its `roles`
    roles, none of them administrator; the owner is no member."""
    guild = side.guild(gid, "guild %d" % gid, owner_id=gid + 1)
    guild.add_role(side.role(gid, "@everyone", 0, False, permissions=1 << 10))
    for r in range(1, roles + 1):
        guild.add_role(side.role(ROLE_BASE + r, "role %d" % r, 0x3498DB, False, position=r,
                                 permissions=1 << (10 + r)))
    for j in range(members):
        guild.add_member(side.member(MEMBER_BASE + j, joined_at=STAMP,
                                     roles=[ROLE_BASE + 1 + (j + k) % roles for k in range(held)]))
    return guild


def build_guild(side, gid, members, first_user=MEMBER_BASE):
    guild = side.guild(gid, "guild %d" % gid)
    for j in range(members):
        guild.add_member(make_member(side, first_user + j, j))
    return guild
