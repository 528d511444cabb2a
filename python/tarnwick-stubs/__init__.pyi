"""Type stubs for tarnwick, a process-wide native cache of chat-service records.

What the runtime accepts, and so what these types say:

* integers: anything with ``__index__`` (int, bool, numpy integers), in the
  field's range (checked at run time: OverflowError);
* texts: str only; flags: bool only (numpy's bool too, which no stub says);
* id lists: any sequence of integers (list, tuple, range, bytes), never str;
  text lists: any sequence of str.  A bare str is a ``Sequence[str]`` to a
  type checker, but the runtime refuses it for a list of texts too;
* ``None`` only where the default is None.

Every attribute is read-only and every fetch returns a new copy.
"""

from typing import Sequence, SupportsIndex, final

__all__ = [
    "full_user",
    "full_member",
    "full_guild",
    "full_role",
    "full_message",
    "full_emoji",
    "register_guild",
    "register_user",
    "register_message",
    "get_guild",
    "get_member",
    "get_user",
    "get_message",
]

@final
class full_user:
    """One account of the chat service."""

    def __new__(
        cls,
        id: SupportsIndex,
        username: str,
        discriminator: str | None = None,
        global_name: str | None = None,
        avatar: str | None = None,
        bot: bool = False,
        system: bool = False,
        mfa_enabled: bool = False,
        banner: str | None = None,
        accent_color: SupportsIndex | None = None,
        locale: str | None = None,
        verified: bool = False,
        email: str | None = None,
        flags: SupportsIndex = 0,
        premium_type: SupportsIndex = 0,
        public_flags: SupportsIndex = 0,
    ) -> full_user: ...
    @property
    def id(self) -> int: ...
    @property
    def username(self) -> str: ...
    @property
    def discriminator(self) -> str | None: ...
    @property
    def global_name(self) -> str | None: ...
    @property
    def avatar(self) -> str | None: ...
    @property
    def bot(self) -> bool: ...
    @property
    def system(self) -> bool: ...
    @property
    def mfa_enabled(self) -> bool: ...
    @property
    def banner(self) -> str | None: ...
    @property
    def accent_color(self) -> int | None: ...
    @property
    def locale(self) -> str | None: ...
    @property
    def verified(self) -> bool: ...
    @property
    def email(self) -> str | None: ...
    @property
    def flags(self) -> int: ...
    @property
    def premium_type(self) -> int: ...
    @property
    def public_flags(self) -> int: ...


@final
class full_member:
    """A user's membership of one guild."""

    def __new__(
        cls,
        user_id: SupportsIndex,
        nick: str | None = None,
        avatar: str | None = None,
        roles: Sequence[SupportsIndex] = [],
        joined_at: str = "",
        premium_since: str | None = None,
        deaf: bool = False,
        mute: bool = False,
        flags: SupportsIndex = 0,
        pending: bool = False,
        permissions: SupportsIndex = 0,
        communication_disabled_until: str | None = None,
    ) -> full_member: ...
    @property
    def user_id(self) -> int: ...
    @property
    def nick(self) -> str | None: ...
    @property
    def avatar(self) -> str | None: ...
    @property
    def roles(self) -> list[int]: ...
    @property
    def joined_at(self) -> str: ...
    @property
    def premium_since(self) -> str | None: ...
    @property
    def deaf(self) -> bool: ...
    @property
    def mute(self) -> bool: ...
    @property
    def flags(self) -> int: ...
    @property
    def pending(self) -> bool: ...
    @property
    def permissions(self) -> int: ...
    @property
    def communication_disabled_until(self) -> str | None: ...


@final
class full_guild:
    """A guild's fields; its roles, emojis and members are added with the add_* methods."""

    def __new__(
        cls,
        id: SupportsIndex,
        name: str,
        icon: str | None = None,
        splash: str | None = None,
        discovery_splash: str | None = None,
        owner_id: SupportsIndex = 0,
        afk_channel_id: SupportsIndex | None = None,
        afk_timeout: SupportsIndex = 0,
        widget_enabled: bool = False,
        widget_channel_id: SupportsIndex | None = None,
        verification_level: SupportsIndex = 0,
        default_message_notifications: SupportsIndex = 0,
        explicit_content_filter: SupportsIndex = 0,
        mfa_level: SupportsIndex = 0,
        application_id: SupportsIndex | None = None,
        system_channel_id: SupportsIndex | None = None,
        system_channel_flags: SupportsIndex = 0,
        rules_channel_id: SupportsIndex | None = None,
        max_presences: SupportsIndex | None = None,
        max_members: SupportsIndex | None = None,
        vanity_url_code: str | None = None,
        description: str | None = None,
        banner: str | None = None,
        premium_tier: SupportsIndex = 0,
        premium_subscription_count: SupportsIndex | None = None,
        preferred_locale: str = "en-US",
        public_updates_channel_id: SupportsIndex | None = None,
        max_video_channel_users: SupportsIndex | None = None,
        max_stage_video_channel_users: SupportsIndex | None = None,
        approximate_member_count: SupportsIndex | None = None,
        approximate_presence_count: SupportsIndex | None = None,
        nsfw_level: SupportsIndex = 0,
        premium_progress_bar_enabled: bool = False,
        safety_alerts_channel_id: SupportsIndex | None = None,
        features: Sequence[str] = [],
    ) -> full_guild: ...
    @property
    def id(self) -> int: ...
    @property
    def name(self) -> str: ...
    @property
    def icon(self) -> str | None: ...
    @property
    def splash(self) -> str | None: ...
    @property
    def discovery_splash(self) -> str | None: ...
    @property
    def owner_id(self) -> int: ...
    @property
    def afk_channel_id(self) -> int | None: ...
    @property
    def afk_timeout(self) -> int: ...
    @property
    def widget_enabled(self) -> bool: ...
    @property
    def widget_channel_id(self) -> int | None: ...
    @property
    def verification_level(self) -> int: ...
    @property
    def default_message_notifications(self) -> int: ...
    @property
    def explicit_content_filter(self) -> int: ...
    @property
    def mfa_level(self) -> int: ...
    @property
    def application_id(self) -> int | None: ...
    @property
    def system_channel_id(self) -> int | None: ...
    @property
    def system_channel_flags(self) -> int: ...
    @property
    def rules_channel_id(self) -> int | None: ...
    @property
    def max_presences(self) -> int | None: ...
    @property
    def max_members(self) -> int | None: ...
    @property
    def vanity_url_code(self) -> str | None: ...
    @property
    def description(self) -> str | None: ...
    @property
    def banner(self) -> str | None: ...
    @property
    def premium_tier(self) -> int: ...
    @property
    def premium_subscription_count(self) -> int | None: ...
    @property
    def preferred_locale(self) -> str: ...
    @property
    def public_updates_channel_id(self) -> int | None: ...
    @property
    def max_video_channel_users(self) -> int | None: ...
    @property
    def max_stage_video_channel_users(self) -> int | None: ...
    @property
    def approximate_member_count(self) -> int | None: ...
    @property
    def approximate_presence_count(self) -> int | None: ...
    @property
    def nsfw_level(self) -> int: ...
    @property
    def premium_progress_bar_enabled(self) -> bool: ...
    @property
    def safety_alerts_channel_id(self) -> int | None: ...
    @property
    def features(self) -> list[str]: ...
    def add_member(self, member: full_member) -> None:
        """Copy the member into this guild, replacing one under the same key."""
    def add_role(self, role: full_role) -> None:
        """Copy the role into this guild, replacing one under the same key."""
    def add_emoji(self, emoji: full_emoji) -> None:
        """Copy the emoji into this guild, replacing one under the same key."""


@final
class full_role:
    """One role of a guild."""

    def __new__(
        cls,
        id: SupportsIndex,
        name: str,
        color: SupportsIndex,
        hoist: bool,
        icon: str | None = None,
        unicode_emoji: str | None = None,
        position: SupportsIndex = 0,
        permissions: SupportsIndex = 0,
        managed: bool = False,
        mentionable: bool = False,
    ) -> full_role: ...
    @property
    def id(self) -> int: ...
    @property
    def name(self) -> str: ...
    @property
    def color(self) -> int: ...
    @property
    def hoist(self) -> bool: ...
    @property
    def icon(self) -> str | None: ...
    @property
    def unicode_emoji(self) -> str | None: ...
    @property
    def position(self) -> int: ...
    @property
    def permissions(self) -> int: ...
    @property
    def managed(self) -> bool: ...
    @property
    def mentionable(self) -> bool: ...


@final
class full_message:
    """One message in a channel."""

    def __new__(
        cls,
        id: SupportsIndex,
        channel_id: SupportsIndex,
        author_id: SupportsIndex,
        content: str,
        timestamp: str,
        guild_id: SupportsIndex | None = None,
        edited_timestamp: str | None = None,
        tts: bool = False,
        mention_everyone: bool = False,
        pinned: bool = False,
        webhook_id: SupportsIndex | None = None,
        message_type: SupportsIndex = 0,
        flags: SupportsIndex = 0,
    ) -> full_message: ...
    @property
    def id(self) -> int: ...
    @property
    def channel_id(self) -> int: ...
    @property
    def author_id(self) -> int: ...
    @property
    def content(self) -> str: ...
    @property
    def timestamp(self) -> str: ...
    @property
    def guild_id(self) -> int | None: ...
    @property
    def edited_timestamp(self) -> str | None: ...
    @property
    def tts(self) -> bool: ...
    @property
    def mention_everyone(self) -> bool: ...
    @property
    def pinned(self) -> bool: ...
    @property
    def webhook_id(self) -> int | None: ...
    @property
    def message_type(self) -> int: ...
    @property
    def flags(self) -> int: ...


@final
class full_emoji:
    """One custom emoji of a guild."""

    def __new__(
        cls,
        id: SupportsIndex,
        name: str | None = None,
        roles: Sequence[SupportsIndex] = [],
        user_id: SupportsIndex | None = None,
        require_colons: bool = False,
        managed: bool = False,
        animated: bool = False,
        available: bool = True,
    ) -> full_emoji: ...
    @property
    def id(self) -> int: ...
    @property
    def name(self) -> str | None: ...
    @property
    def roles(self) -> list[int]: ...
    @property
    def user_id(self) -> int | None: ...
    @property
    def require_colons(self) -> bool: ...
    @property
    def managed(self) -> bool: ...
    @property
    def animated(self) -> bool: ...
    @property
    def available(self) -> bool: ...

def register_guild(guild: full_guild) -> None:
    """File a deep copy of the guild, its roles, emojis and members included."""

def register_user(user: full_user) -> None:
    """File a copy of the user under its id."""

def register_message(message: full_message) -> None:
    """File a copy of the message under its id."""

def get_guild(guild_id: SupportsIndex) -> full_guild | None:
    """A new copy of the filed guild, or None."""

def get_member(guild_id: SupportsIndex, user_id: SupportsIndex) -> full_member | None:
    """A new copy of the member as filed with its guild, or None."""

def get_user(user_id: SupportsIndex) -> full_user | None:
    """A new copy of the filed user, or None."""

def get_message(message_id: SupportsIndex) -> full_message | None:
    """A new copy of the filed message, or None."""
