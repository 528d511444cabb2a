"""tarnwick_extras.events against the platform's documented payload shapes:
merged users and guilds, replies, webhooks, the events that carry members,
and the many-entry events that skip a bad entry instead of failing whole.

Each case starts from the same world (a filed guild with one member, the
connected account's full user from READY, a filed message) under ids of its
own, applies one event and reads the cache back."""

import warnings

import pytest

import tarnwick
from tarnwick_extras import PayloadError, cache, events
from test_events import member as bare_member, user
from twhelpers import U64_MAX, assert_same_record, frame_of, fresh_id, run_python_value

APPLIED, IGNORED = events.Outcome.APPLIED, events.Outcome.IGNORED
STAMP = "2024-05-02T09:30:00.000000+00:00"


class World:
    def __init__(self):
        self.gid, self.uid, self.me, self.mid, self.ch, self.new = (fresh_id() for _ in range(6))
        full_me = {"id": str(self.me), "username": "me", "global_name": "Me", "avatar": "a1",
                   "discriminator": "0", "bot": True, "mfa_enabled": True, "locale": "en-GB",
                   "verified": True, "email": "me@example.com", "flags": 64, "premium_type": 2,
                   "public_flags": 64, "banner": "b1", "accent_color": 255}
        assert events.apply("READY", {"v": 10, "user": full_me, "guilds": []}) is APPLIED
        assert events.apply("GUILD_CREATE", {
            "id": str(self.gid), "name": "g", "widget_enabled": True, "max_members": 500000,
            "premium_subscription_count": 3, "approximate_member_count": 7,
            "roles": [{"id": str(self.gid), "name": "@everyone", "color": 0, "hoist": False}],
            "members": [self.member(self.uid, nick="ann", roles=[]), self.member(self.me)]}) is APPLIED
        assert events.apply("MESSAGE_CREATE", self.message(self.mid, self.uid, tts=True)) is APPLIED

    def member(self, uid, **fields):
        return dict(bare_member(uid, joined_at=STAMP, deaf=False, mute=False, flags=0), **fields)

    def message(self, mid, by, **fields):
        return {"id": str(mid), "channel_id": str(self.ch), "guild_id": str(self.gid),
                "author": user(by), "content": "hello", "timestamp": STAMP, "tts": False,
                "mention_everyone": False, "mentions": [], "mention_roles": [], "attachments": [],
                "embeds": [], "pinned": False, "type": 0, **fields}


@pytest.fixture
def w():
    return World()


def me(w):
    return tarnwick.get_user(w.me)


def member_of(w, uid):
    return tarnwick.get_member(w.gid, uid)


# (id, event type, payload from the world, outcome, what to read back, what it
# must be: a value, or a function of the world where it names the world's ids)
CASES = [
    ("author-keeps-full-user", "MESSAGE_CREATE",
     lambda w: w.message(w.new, w.me, author={"id": str(w.me), "username": "me", "avatar": "a2",
                                              "global_name": "Me", "discriminator": "0"}),
     APPLIED, lambda w: (me(w).email, me(w).verified, me(w).locale, me(w).avatar, me(w).bot),
     ("me@example.com", True, "en-GB", "a2", True)),
    ("user-update-null-clears", "USER_UPDATE",
     lambda w: {"id": str(w.me), "username": "me2", "global_name": None, "banner": None},
     APPLIED, lambda w: (me(w).username, me(w).global_name, me(w).banner, me(w).email, me(w).accent_color),
     ("me2", None, None, "me@example.com", 255)),
    ("member-user-merged", "GUILD_MEMBER_UPDATE",
     lambda w: {"guild_id": str(w.gid), "user": {"id": str(w.me), "username": "me", "avatar": None},
                "roles": [], "nick": "boss"},
     APPLIED, lambda w: (member_of(w, w.me).nick, me(w).avatar, me(w).email), ("boss", None, "me@example.com")),
    ("guild-update-merges", "GUILD_UPDATE",
     lambda w: {"id": str(w.gid), "name": "renamed", "description": "d"},
     APPLIED, lambda w: (tarnwick.get_guild(w.gid).name, tarnwick.get_guild(w.gid).widget_enabled,
                         tarnwick.get_guild(w.gid).max_members,
                         tarnwick.get_guild(w.gid).premium_subscription_count,
                         tarnwick.get_guild(w.gid).approximate_member_count),
     ("renamed", True, 500000, 3, 7)),
    ("guild-update-null-clears", "GUILD_UPDATE",
     lambda w: {"id": str(w.gid), "name": "g", "max_members": None, "widget_enabled": None},
     APPLIED, lambda w: (tarnwick.get_guild(w.gid).max_members, tarnwick.get_guild(w.gid).widget_enabled),
     (None, True)),
    ("update-keeps-tts", "MESSAGE_UPDATE",
     lambda w: {"id": str(w.mid), "channel_id": str(w.ch), "content": "edited", "tts": False,
                "edited_timestamp": STAMP},
     APPLIED, lambda w: (tarnwick.get_message(w.mid).content, tarnwick.get_message(w.mid).tts), ("edited", True)),
    ("webhook-files-no-user", "MESSAGE_CREATE",
     lambda w: w.message(w.new, w.new, webhook_id=str(w.new), author={"id": str(w.new), "username": "hook",
                                                                       "avatar": None}),
     APPLIED, lambda w: (tarnwick.get_message(w.new).author_id, tarnwick.get_user(w.new)), lambda w: (w.new, None)),
    ("reply-files-referenced", "MESSAGE_CREATE",
     lambda w: w.message(w.new, w.uid, message_reference={"message_id": str(w.new + 1)},
                         referenced_message={k: v for k, v in w.message(w.new + 1, w.new + 2).items()
                                             if k != "guild_id"}),
     APPLIED, lambda w: (tarnwick.get_message(w.new + 1).guild_id, tarnwick.get_user(w.new + 2).id),
     lambda w: (w.gid, w.new + 2)),
    ("reply-keeps-later-edit", "MESSAGE_CREATE",
     lambda w: w.message(w.new, w.uid, message_reference={"message_id": str(w.mid)},
                         referenced_message=w.message(w.mid, w.uid, content="older", edited_timestamp=None)),
     APPLIED, lambda w: tarnwick.get_message(w.mid).content, "edited before"),
    ("reply-to-deleted", "MESSAGE_CREATE",
     lambda w: w.message(w.new, w.uid, message_reference={"message_id": str(w.mid)}, referenced_message=None),
     APPLIED, lambda w: (tarnwick.get_message(w.mid), tarnwick.get_message(w.new).id), lambda w: (None, w.new)),
    ("mention-member-merged", "MESSAGE_CREATE",
     lambda w: w.message(w.new, w.me, mentions=[dict(user(w.uid), member={"nick": "annie", "roles": []}),
                                                dict(user(w.new + 1), member={"roles": [], "joined_at": STAMP})]),
     APPLIED, lambda w: (member_of(w, w.uid).nick, member_of(w, w.uid).joined_at, member_of(w, w.new + 1).joined_at,
                         tarnwick.get_user(w.new + 1).username),
     lambda w: ("annie", STAMP, STAMP, f"u{(w.new + 1) % 1000}")),
    ("update-carries-member", "MESSAGE_UPDATE",
     lambda w: {"id": str(w.mid), "channel_id": str(w.ch), "guild_id": str(w.gid), "content": "c2",
                "member": {"nick": "edited-nick", "roles": []}, "mentions": [user(w.new)]},
     APPLIED, lambda w: (member_of(w, w.uid).nick, tarnwick.get_user(w.new).id), lambda w: ("edited-nick", w.new)),
    ("presence-merges", "PRESENCE_UPDATE",
     lambda w: {"user": {"id": str(w.me), "username": "me", "global_name": "Moi", "avatar": 5,
                         "public_flags": "x"}, "guild_id": str(w.gid), "status": "online", "activities": []},
     APPLIED, lambda w: (me(w).global_name, me(w).avatar, me(w).public_flags, me(w).email),
     ("Moi", "a1", 64, "me@example.com")),
    ("presence-id-only", "PRESENCE_UPDATE",
     lambda w: {"user": {"id": str(w.me)}, "guild_id": str(w.gid), "status": "idle"},
     APPLIED, lambda w: me(w).global_name, "Me"),
    ("presence-unknown-user", "PRESENCE_UPDATE",
     lambda w: {"user": {"id": str(w.new), "username": "x"}, "guild_id": str(w.gid), "status": "idle"},
     IGNORED, lambda w: tarnwick.get_user(w.new), None),
    ("interaction-member", "INTERACTION_CREATE",
     lambda w: {"id": "1", "type": 2, "guild_id": str(w.gid), "token": "t", "version": 1,
                "member": dict(w.member(w.new), permissions=str(U64_MAX))},
     APPLIED, lambda w: (member_of(w, w.new).permissions, tarnwick.get_user(w.new).id), lambda w: (U64_MAX, w.new)),
    ("interaction-dm-user", "INTERACTION_CREATE",
     lambda w: {"id": "1", "type": 2, "token": "t", "version": 1, "user": {"id": str(w.me), "username": "dm"}},
     APPLIED, lambda w: (me(w).username, me(w).email), ("dm", "me@example.com")),
    ("interaction-unfiled-guild", "INTERACTION_CREATE",
     lambda w: {"id": "1", "type": 2, "guild_id": str(w.new), "token": "t", "version": 1,
                "member": w.member(w.new + 1)},
     IGNORED, lambda w: tarnwick.get_user(w.new + 1), None),
    ("thread-members", "THREAD_MEMBERS_UPDATE",
     lambda w: {"id": "1", "guild_id": str(w.gid), "member_count": 2, "added_members": [
         {"id": "1", "user_id": str(w.new), "join_timestamp": STAMP, "flags": 0, "member": w.member(w.new),
          "presence": None}, {"id": "1", "user_id": str(w.uid), "join_timestamp": STAMP, "flags": 0}]},
     APPLIED, lambda w: (member_of(w, w.new).joined_at, member_of(w, w.uid).nick), (STAMP, "ann")),
    ("ban-add", "GUILD_BAN_ADD",
     lambda w: {"guild_id": str(w.gid), "user": {"id": str(w.uid), "username": "banned"}},
     APPLIED, lambda w: (member_of(w, w.uid), tarnwick.get_user(w.uid).username), (None, "banned")),
    ("ban-remove", "GUILD_BAN_REMOVE",
     lambda w: {"guild_id": str(w.gid), "user": {"id": str(w.uid), "username": "back"}},
     APPLIED, lambda w: tarnwick.get_user(w.uid).username, "back"),
    ("ban-unfiled-guild", "GUILD_BAN_ADD",
     lambda w: {"guild_id": str(w.new), "user": {"id": str(w.new + 1), "username": "x"}},
     IGNORED, lambda w: tarnwick.get_user(w.new + 1), None),
    ("channel-delete", "CHANNEL_DELETE", lambda w: {"id": str(w.ch), "type": 0, "guild_id": str(w.gid)},
     APPLIED, lambda w: tarnwick.get_message(w.mid), None),
    ("thread-delete-other", "THREAD_DELETE",
     lambda w: {"id": str(w.new), "type": 11, "guild_id": str(w.gid), "parent_id": str(w.ch)},
     IGNORED, lambda w: tarnwick.get_message(w.mid).id, lambda w: w.mid),
    ("guild-delete-messages", "GUILD_DELETE", lambda w: {"id": str(w.gid)},
     APPLIED, lambda w: (tarnwick.get_guild(w.gid), tarnwick.get_message(w.mid)), (None, None)),
]


@pytest.mark.parametrize("kind", ["VOICE_STATE_UPDATE", "TYPING_START", "MESSAGE_REACTION_ADD"])
def test_events_that_carry_a_member_put_it(w, kind):
    data = {"guild_id": str(w.gid), "channel_id": str(w.ch), "user_id": str(w.uid),
            "member": w.member(w.uid, nick="merged", mute=True)}
    assert events.apply(kind, data) is APPLIED
    assert (member_of(w, w.uid).nick, member_of(w, w.uid).mute) == ("merged", True)
    del data["member"]
    assert events.apply(kind, data) is IGNORED


@pytest.mark.parametrize("case_id,kind,payload,outcome,read,expected", CASES, ids=[c[0] for c in CASES])
def test_the_cache_reads_back_what_the_platform_says(w, case_id, kind, payload, outcome, read, expected):
    if case_id == "reply-keeps-later-edit":
        assert events.apply("MESSAGE_UPDATE", {"id": str(w.mid), "content": "edited before",
                                               "edited_timestamp": "2024-05-03T00:00:00+00:00"}) is APPLIED
    assert events.apply(kind, payload(w)) is outcome
    assert read(w) == (expected(w) if callable(expected) else expected)


def role_of(w, rid):
    return next((r for r in cache.roles(w.gid) if r.id == rid), None)


# (event type, payload, what Frame.before holds: read from the cache before
# the frame, or None)
BEFORE = [
    ("MESSAGE_UPDATE", lambda w: {"id": str(w.mid), "channel_id": str(w.ch), "content": "edited"},
     lambda w: tarnwick.get_message(w.mid)),
    ("MESSAGE_DELETE", lambda w: {"id": str(w.mid), "channel_id": str(w.ch), "wide": 2**70},
     lambda w: tarnwick.get_message(w.mid)),
    ("MESSAGE_DELETE", lambda w: {"id": str(w.new), "channel_id": str(w.ch)}, lambda w: None),
    ("MESSAGE_DELETE_BULK", lambda w: {"ids": [str(w.mid), str(w.new), str(w.mid)], "channel_id": str(w.ch)},
     lambda w: (tarnwick.get_message(w.mid),)),
    ("GUILD_MEMBER_UPDATE", lambda w: dict(w.member(w.uid, nick="bea", roles=[]), guild_id=str(w.gid)),
     lambda w: member_of(w, w.uid)),
    ("GUILD_MEMBER_UPDATE", lambda w: dict(w.member(w.uid, nick="ann", roles=[]), guild_id=str(w.gid)),
     lambda w: None),
    ("GUILD_MEMBER_REMOVE", lambda w: {"guild_id": str(w.gid), "user": user(w.uid)}, lambda w: member_of(w, w.uid)),
    ("GUILD_BAN_ADD", lambda w: {"guild_id": str(w.gid), "user": user(w.uid)}, lambda w: member_of(w, w.uid)),
    ("GUILD_ROLE_UPDATE", lambda w: {"guild_id": str(w.gid), "role": {
        "id": str(w.gid), "name": "everyone", "color": 0, "hoist": False, "position": 0, "permissions": "0",
        "managed": False, "mentionable": False, "flags": 0}}, lambda w: role_of(w, w.gid)),
    ("GUILD_ROLE_DELETE", lambda w: {"guild_id": str(w.gid), "role_id": str(w.gid)}, lambda w: role_of(w, w.gid)),
    ("GUILD_ROLE_CREATE", lambda w: {"guild_id": str(w.gid), "role": {"id": str(w.new), "name": "new", "color": 0,
                                                                   "hoist": False}}, lambda w: None),
    ("USER_UPDATE", lambda w: {"id": str(w.me), "username": "me2"}, me),
    ("PRESENCE_UPDATE", lambda w: {"user": {"id": str(w.me), "global_name": "Moi"}, "guild_id": str(w.gid),
                                   "status": "online"}, me),
    ("PRESENCE_UPDATE", lambda w: {"user": {"id": str(w.me), "global_name": "Me"}, "guild_id": str(w.gid),
                                   "status": "online"}, lambda w: None),
    ("MESSAGE_CREATE", lambda w: w.message(w.mid, w.uid), lambda w: None),
]


@pytest.mark.parametrize("kind,payload,expected", BEFORE, ids=[f"{b[0]}-{i}" for i, b in enumerate(BEFORE)])
def test_a_frame_gives_what_it_displaced_or_removed(w, kind, payload, expected):
    want = expected(w)
    before = events.apply_frame(frame_of(kind, payload(w))).before
    if isinstance(want, tuple):
        assert type(before) is tuple and len(before) == len(want)
        for got, one in zip(before, want):
            assert_same_record(got, one)
    elif want is None:
        assert before is None
    else:
        assert_same_record(before, want)


SKIPPING = [
    ("GUILD_CREATE", lambda w, bad: {"id": str(w.new), "name": "g", "members": [w.member(w.new + 1), bad]},
     "members[1].flags"),
    ("GUILD_MEMBERS_CHUNK", lambda w, bad: {"guild_id": str(w.gid), "members": [w.member(w.new + 1), bad]},
     "members[1].flags"),
    ("THREAD_MEMBERS_UPDATE", lambda w, bad: {"id": "1", "guild_id": str(w.gid), "added_members": [
        {"member": w.member(w.new + 1)}, {"member": bad}]}, "added_members[1].member.flags"),
]


@pytest.mark.parametrize("kind,payload,path", SKIPPING, ids=[s[0] for s in SKIPPING])
def test_a_bad_entry_is_skipped_and_reported_and_the_rest_applied(w, kind, payload, path):
    bad = w.member(w.new + 2, flags=2**40)   # the schema allows it; a record cannot hold it
    skipped = []
    assert events.apply(kind, payload(w, bad), on_skip=skipped.append) is APPLIED
    assert [e.path for e in skipped] == [path] and isinstance(skipped[0], PayloadError)
    gid = w.new if kind == "GUILD_CREATE" else w.gid
    assert tarnwick.get_member(gid, w.new + 1) is not None and tarnwick.get_user(w.new + 1) is not None
    assert tarnwick.get_member(gid, w.new + 2) is None and tarnwick.get_user(w.new + 2) is None
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        events.apply(kind, payload(w, bad))
    assert [type(c.message) for c in caught] == [events.SkippedEntryWarning]
    assert path in str(caught[0].message) and caught[0].filename == __file__


def test_roles_and_emojis_skip_bad_entries(w):
    skipped = []
    bad_role = {"id": "1", "name": "r", "color": -1, "hoist": False}
    assert events.apply("GUILD_UPDATE", {"id": str(w.gid), "name": "g", "roles": [
        {"id": str(w.new), "name": "ok", "color": 1, "hoist": False}, bad_role]}, on_skip=skipped.append) is APPLIED
    assert events.apply("GUILD_EMOJIS_UPDATE", {"guild_id": str(w.gid), "emojis": [{"id": "x"}, {"id": "3"}]},
                        on_skip=skipped.append) is APPLIED
    assert [e.path for e in skipped] == ["roles[1].color", "emojis[0].id"]
    assert cache.remove_role(w.gid, w.new) is True and cache.remove_emoji(w.gid, 3) is True


PRUNE = """
import tarnwick
from tarnwick_extras import cache, events
author = {"id": "5", "username": "hook"}
events.apply("MESSAGE_CREATE", {"id": "1", "channel_id": "2", "author": {"id": "6", "username": "u"},
                                "content": "c", "timestamp": "t"})
tarnwick.register_user(tarnwick.full_user(5, "a user of the same id"))
events.apply("MESSAGE_CREATE", {"id": "3", "channel_id": "2", "webhook_id": "5", "author": author,
                                "content": "c", "timestamp": "t"})
print(repr({"pruned": cache.prune_users(), "left": [u for u in (5, 6) if tarnwick.get_user(u)]}))
"""


def test_a_webhooks_message_keeps_no_user_from_pruning():
    assert run_python_value(PRUNE) == {"pruned": 1, "left": [6]}
