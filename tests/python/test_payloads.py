"""tarnwick_extras: gateway payloads to records, and as_dict."""
import copy
import json

import pytest

import tarnwick
from tarnwick_extras import PayloadError, as_dict, payloads
from tarnwick_extras._fields import FIELDS, REQUIRED, WIRE, kinds
from twhelpers import (
    CLASSES, REQ, SCHEMA, U64_MAX, _typed, assert_fields, assert_same_record, fresh_id, full_values,
    make, snapshot,
)

ANN, ROLE_A, ROLE_B = 80351110224678912, 41771983423143937, 41771983423143938


def _wire(text):
    return json.loads(text)  # what the gateway hands over, nulls included


USER = _wire("""{"id": "80351110224678912", "username": "ann", "discriminator": "0",
  "global_name": "Ann", "avatar": "a_1f2e3d", "bot": false, "system": null, "banner": null,
  "accent_color": 16711680, "public_flags": 64, "avatar_decoration_data": null,
  "clan": {"tag": "x"}}""")
USER_FIELDS = {
    "id": ANN, "username": "ann", "discriminator": "0", "global_name": "Ann", "avatar": "a_1f2e3d",
    "bot": False, "system": False, "mfa_enabled": False, "banner": None, "accent_color": 16711680,
    "locale": None, "verified": False, "email": None, "flags": 0, "premium_type": 0,
    "public_flags": 64}

MEMBER = _wire("""{"user": {"id": "80351110224678912", "username": "ann", "global_name": "Ann"},
  "nick": "annie", "avatar": null, "roles": ["41771983423143937", "41771983423143938"],
  "joined_at": "2024-05-01T12:00:00.000000+00:00", "premium_since": null, "deaf": false,
  "mute": false, "flags": 2, "pending": false, "communication_disabled_until": null,
  "unusual_dm_activity_until": null}""")
MEMBER_FIELDS = {
    "user_id": ANN, "nick": "annie", "avatar": None, "roles": [ROLE_A, ROLE_B],
    "joined_at": "2024-05-01T12:00:00.000000+00:00", "premium_since": None, "deaf": False,
    "mute": False, "flags": 2, "pending": False, "permissions": 0,
    "communication_disabled_until": None}

ROLE = _wire("""{"id": "41771983423143938", "name": "mods", "color": 3447003, "hoist": true,
  "icon": null, "unicode_emoji": null, "position": 3, "permissions": "18446744073709551615",
  "managed": false, "mentionable": true, "flags": 0, "tags": {"bot_id": "1"}}""")
ROLE_FIELDS = {
    "id": ROLE_B, "name": "mods", "color": 3447003, "hoist": True, "icon": None,
    "unicode_emoji": None, "position": 3, "permissions": U64_MAX, "managed": False,
    "mentionable": True}

EMOJI = _wire("""{"id": "1071698660929", "name": "tea", "roles": ["41771983423143937"],
  "user": {"id": "80351110224678912", "username": "ann"}, "require_colons": true,
  "managed": false, "animated": false, "available": null}""")
EMOJI_FIELDS = {
    "id": 1071698660929, "name": "tea", "roles": [ROLE_A], "user_id": ANN, "require_colons": True,
    "managed": False, "animated": False, "available": True}

MESSAGE = _wire("""{"id": "1226592853428146217", "channel_id": "41771983423143939",
  "guild_id": "41771983423143937", "author": {"id": "80351110224678912", "username": "ann"},
  "content": "hello \u00e9", "timestamp": "2024-05-02T09:30:00.000000+00:00",
  "edited_timestamp": null, "tts": false, "mention_everyone": false, "mentions": [],
  "pinned": false, "webhook_id": null, "type": 19, "flags": 0, "nonce": "123"}""")
MESSAGE_FIELDS = {
    "id": 1226592853428146217, "channel_id": 41771983423143939, "author_id": ANN,
    "content": "hello \u00e9", "timestamp": "2024-05-02T09:30:00.000000+00:00",
    "guild_id": ROLE_A, "edited_timestamp": None, "tts": False, "mention_everyone": False,
    "pinned": False, "webhook_id": None, "message_type": 19, "flags": 0}


def _guild_payload(gid, members=(), roles=(), emojis=()):
    return {"id": str(gid), "name": "Tea Club", "icon": None, "owner_id": str(ANN),
            "afk_channel_id": None, "afk_timeout": 300, "verification_level": 1,
            "system_channel_id": "41771983423143939", "max_members": 500000,
            "preferred_locale": None, "premium_tier": 2, "features": ["COMMUNITY", "NEWS"],
            "channels": [{"id": "1", "type": 0}], "member_count": len(members),
            "members": list(members), "roles": list(roles), "emojis": list(emojis)}


def _member(uid, **fields):
    return dict(copy.deepcopy(MEMBER), user={"id": str(uid), "username": f"u{uid % 1000}"},
                **fields)


@pytest.mark.parametrize("convert, payload, expected", [
    (payloads.user, USER, USER_FIELDS),
    (payloads.member, MEMBER, MEMBER_FIELDS),
    (payloads.role, ROLE, ROLE_FIELDS),
    (payloads.emoji, EMOJI, EMOJI_FIELDS),
    (payloads.message, MESSAGE, MESSAGE_FIELDS),
], ids=["user", "member", "role", "emoji", "message"])
def test_each_converter_reads_a_realistic_payload(convert, payload, expected):
    before = copy.deepcopy(payload)
    assert_fields(convert(payload), expected)
    assert payload == before  # the payload is only read


def test_guild_carries_its_members_roles_and_emojis():
    gid, uid = fresh_id(), fresh_id()
    data = _guild_payload(gid, members=[MEMBER, _member(uid, nick=None, roles=[])],
                          roles=[ROLE], emojis=[EMOJI])
    guild = payloads.guild(data)
    defaults = {name: default for name, _, default in SCHEMA["full_guild"]}
    assert_fields(guild, {**defaults, "id": gid, "name": "Tea Club", "owner_id": ANN,
                          "afk_timeout": 300, "verification_level": 1,
                          "system_channel_id": 41771983423143939, "max_members": 500000,
                          "premium_tier": 2, "features": ["COMMUNITY", "NEWS"]})
    tarnwick.register_guild(guild)
    assert_fields(tarnwick.get_member(gid, ANN), MEMBER_FIELDS)
    assert tarnwick.get_member(gid, uid).roles == []


def test_nested_users_come_out_as_records():
    assert_fields(payloads.member_user(MEMBER),
                  {**USER_FIELDS, **{k: None for k in ("discriminator", "avatar")},
                   "accent_color": None, "public_flags": 0})
    assert payloads.member_user({"user_id": "5"}) is None
    assert payloads.message_author(MESSAGE).id == ANN
    uid = fresh_id()
    users = payloads.guild_users(_guild_payload(1, members=[MEMBER, {"user_id": "7"}, _member(uid)]))
    assert [u.id for u in users] == [ANN, uid]


# -- ids and other unsigned 64-bit wire values ---------------------------------

@pytest.mark.parametrize("wire, value", [
    ("0", 0), ("007", 7), ("18446744073709551615", U64_MAX), ("9" * 19, 10**19 - 1),
    (12, 12), (U64_MAX, U64_MAX),
])
def test_decimal_ids_accepted(wire, value):
    assert payloads.user({"id": wire, "username": "u"}).id == value
    assert payloads.member({"user": {"id": wire}, "roles": [wire, "1"]}).roles == [value, 1]
    assert payloads.parse_id(wire) == value


NOT_ID = "expected an id (a string of decimal digits), got "
WIDEST = " is out of range for this field (0 to 18446744073709551615)"


@pytest.mark.parametrize("wire, reason", [
    ("+1", NOT_ID + "'+1'"), (" 1", NOT_ID + "' 1'"), ("1 ", NOT_ID + "'1 '"),
    ("1_000", NOT_ID + "'1_000'"), ("-1", NOT_ID + "'-1'"),
    ("\u0661\u0662", NOT_ID + "'\u0661\u0662'"),      # Arabic-Indic digits
    ("\u00b2", NOT_ID + "'\u00b2'"), ("", NOT_ID + "''"), ("0x10", NOT_ID + "'0x10'"),
    ("18446744073709551616", "18446744073709551616" + WIDEST),
    ("1" * 21, "1" * 21 + WIDEST),
    ("1" * 100_000, "a number of 100000 digits" + WIDEST),
    (-1, "-1" + WIDEST), (2**64, str(2**64) + WIDEST),
    (True, NOT_ID + "a boolean"), (1.0, NOT_ID + "a non-integer number"),
    ([1], NOT_ID + "a list"), ({"id": "1"}, NOT_ID + "an object"),
])
def test_bad_decimal_ids_name_the_field(wire, reason):
    cases = [
        (payloads.user, {"id": wire, "username": "u"}, "id"),
        (payloads.message, dict(MESSAGE, channel_id=wire), "channel_id"),
        (payloads.message, dict(MESSAGE, author={"id": wire}), "author.id"),
        (payloads.member, dict(MEMBER, roles=["1", wire]), "roles[1]"),
        (payloads.role, dict(ROLE, permissions=wire), "permissions"),
        (payloads.guild, _guild_payload(1, emojis=[dict(EMOJI, user={"id": wire})]),
         "emojis[0].user.id"),
    ]
    for convert, payload, path in cases:
        with pytest.raises(PayloadError) as info:
            convert(payload)
        # permissions is no id, but held the same way
        expected = reason.replace("an id (a string of decimal digits)", "a string of decimal digits") \
            if path == "permissions" else reason
        assert (info.value.path, info.value.reason) == (path, expected)
        assert str(info.value) == f"{path}: {expected}"


def test_roles_must_be_an_array_of_ids():
    with pytest.raises(PayloadError, match=r"^roles: expected a list of ids, got a string$"):
        payloads.member(dict(MEMBER, roles="41771983423143937"))
    assert payloads.emoji({"id": "1", "roles": (2, "3")}).roles == [2, 3]


def test_user_id_given_twice_must_agree():
    assert payloads.member(dict(MEMBER, user_id=str(ANN))).user_id == ANN
    assert payloads.member({"user_id": "5"}).user_id == 5
    with pytest.raises(PayloadError) as info:
        payloads.member(dict(MEMBER, user_id="5"))
    assert (info.value.path, info.value.reason) == ("user_id", f"5 does not match user.id {ANN}")


# -- nulls ---------------------------------------------------------------------

@pytest.mark.parametrize("convert, payload, field, value", [
    (payloads.user, USER, "global_name", None),           # optional: absent
    (payloads.user, USER, "bot", False),                  # defaulted: the default
    (payloads.member, MEMBER, "roles", []),
    (payloads.member, MEMBER, "joined_at", ""),
    (payloads.emoji, EMOJI, "available", True),
    (payloads.emoji, EMOJI, "user_id", None),             # through "user": null
    (payloads.message, MESSAGE, "message_type", 0),       # through "type": null
    (payloads.guild, _guild_payload(1) | {"preferred_locale": "en-GB"}, "preferred_locale", "en-US"),
    (payloads.guild, _guild_payload(1), "features", []),
])
def test_null_means_the_default(convert, payload, field, value):
    wire_key = {"user_id": "user", "message_type": "type"}.get(field, field)
    assert getattr(convert(dict(payload, **{wire_key: None})), field) == value


@pytest.mark.parametrize("convert, payload, key, path, reason", [
    (payloads.user, USER, "username", "username", "required, got null"),
    (payloads.role, ROLE, "color", "color", "required, got null"),
    (payloads.message, MESSAGE, "author", "author", "missing"),
    (payloads.member, MEMBER, "user", "user", "missing"),
])
def test_null_required_field_is_an_error(convert, payload, key, path, reason):
    for bad in (dict(payload, **{key: None}), {k: v for k, v in payload.items() if k != key}):
        with pytest.raises(PayloadError) as info:
            convert(bad)
        assert info.value.path == path
        if key in bad:
            assert info.value.reason == reason


# -- what the constructors refuse, named by path ----------------------------------

def _surrogate(char, at=0):
    return f"expected Unicode text, got a lone surrogate ({char!r}) at index {at}"


U32_RANGE = " is out of range for this field (0 to 4294967295)"


@pytest.mark.parametrize("convert, payload, path, cause, reason", [
    (payloads.member, dict(MEMBER, joined_at=5), "joined_at", TypeError, "expected a string, got a number"),
    (payloads.member, dict(MEMBER, flags=2**32), "flags", OverflowError, "4294967296" + U32_RANGE),
    (payloads.member, dict(MEMBER, flags=1.5), "flags", TypeError,
     "expected an integer, got a non-integer number"),
    (payloads.user, dict(USER, username="a\ud800"), "username", UnicodeEncodeError, _surrogate("\ud800", 1)),
    (payloads.user, dict(USER, premium_type=256), "premium_type", OverflowError,
     "256 is out of range for this field (0 to 255)"),
    (payloads.role, dict(ROLE, position=2**31), "position", OverflowError,
     "2147483648 is out of range for this field (-2147483648 to 2147483647)"),
    (payloads.guild, _guild_payload(1) | {"features": ["A", "\udfff"]}, "features[1]",
     UnicodeEncodeError, _surrogate("\udfff")),
    (payloads.guild, _guild_payload(1) | {"features": ["A", 1]}, "features[1]", TypeError,
     "expected a string, got a number"),
    (payloads.guild, _guild_payload(1) | {"features": "COMMUNITY"}, "features", TypeError,
     "expected a list of strings, got a string"),
    (payloads.message, dict(MESSAGE, type=-1), "type", OverflowError, "-1" + U32_RANGE),
    (payloads.message, dict(MESSAGE, type="0"), "type", TypeError, "expected an integer, got a string"),
    # Several faults: the first in field order is named.
    (payloads.user, dict(USER, premium_type=300, flags=2**40, accent_color=-1), "accent_color",
     OverflowError, "-1" + U32_RANGE),
    (payloads.user, dict(USER, premium_type=300, flags=2**40), "flags", OverflowError,
     "1099511627776" + U32_RANGE),
    (payloads.user, dict(USER, bot=1, flags=2**40), "bot", TypeError, "expected a boolean, got a number"),
    (payloads.user, dict(USER, locale="\ud800", flags=2**40), "locale", UnicodeEncodeError,
     _surrogate("\ud800")),
])
def test_constructor_faults_name_the_field(convert, payload, path, cause, reason):
    with pytest.raises(PayloadError) as info:
        convert(payload)
    assert (info.value.path, info.value.reason) == (path, reason)
    assert type(info.value.__cause__) is cause       # the constructor's own, as it was
    assert isinstance(info.value, ValueError)


@pytest.mark.parametrize("convert, payload, path, reason", [
    (payloads.user, ["id", "1"], "", "expected an object, got a list"),
    (payloads.member, None, "", "expected an object, got null"),
    (payloads.member, dict(MEMBER, user="80351110224678912"), "user",
     "expected an object, got a string"),
    (payloads.member, dict(MEMBER, user={"username": "ann"}), "user.id", "missing"),
    (payloads.member_user, dict(MEMBER, user={"id": "1", "username": "a", "bot": "yes"}), "user.bot",
     "expected a boolean, got a string"),
    (payloads.message_author, dict(MESSAGE, author={"id": "1"}), "author.username",
     "missing"),
    (payloads.guild, _guild_payload(1, members=[MEMBER, dict(MEMBER, joined_at=7)]),
     "members[1].joined_at", "expected a string, got a number"),
    (payloads.guild, _guild_payload(1, roles=[ROLE, ROLE, 5]), "roles[2]",
     "expected an object, got a number"),
    (payloads.guild, _guild_payload(1) | {"members": {"0": MEMBER}}, "members",
     "expected a list, got an object"),
    (payloads.guild_users, _guild_payload(1, members=[MEMBER, dict(MEMBER, user={"id": "2"})]),
     "members[1].user.username", "missing"),
    (payloads.parse_id, None, "", NOT_ID + "null"),
])
def test_structure_faults_name_the_path(convert, payload, path, reason):
    with pytest.raises(PayloadError) as info:
        convert(payload)
    assert (info.value.path, info.value.reason) == (path, reason)


# -- skipping bad entries ------------------------------------------------------

def test_skip_invalid_keeps_the_guild_and_reports_each_skipped_entry():
    gid, good, bad = fresh_id(), fresh_id(), fresh_id()
    data = _guild_payload(
        gid, roles=[ROLE, dict(ROLE, color="red")], emojis=["tea"],
        members=[_member(good), _member(bad, flags=-1), 42, dict(MEMBER, user=None)])
    with pytest.raises(PayloadError, match=r"^roles\[1\]\.color: "):
        payloads.guild(data)
    skipped = []
    guild = payloads.guild(data, skip_invalid=True, on_skip=skipped.append)
    assert [e.path for e in skipped] == [
        "roles[1].color", "emojis[0]", "members[1].flags", "members[2]", "members[3].user"]
    assert all(isinstance(e, PayloadError) for e in skipped)
    assert payloads.guild(data, skip_invalid=True).id == gid  # no on_skip: silent
    tarnwick.register_guild(guild)
    assert tarnwick.get_member(gid, good) is not None
    assert tarnwick.get_member(gid, bad) is None


def test_skip_invalid_does_not_excuse_the_guild_itself():
    with pytest.raises(PayloadError, match=r"^owner_id: "):
        payloads.guild(_guild_payload(1) | {"owner_id": "x"}, skip_invalid=True)
    with pytest.raises(PayloadError, match=r"^members: expected a list, got a string$"):
        payloads.guild(_guild_payload(1) | {"members": "all"}, skip_invalid=True)


def test_guild_users_skips_bad_users():
    uid = fresh_id()
    data = _guild_payload(1, members=[dict(MEMBER, user={"id": "1", "username": 5}), _member(uid)])
    skipped = []
    assert [u.id for u in payloads.guild_users(data, skip_invalid=True, on_skip=skipped.append)] == [uid]
    assert [e.path for e in skipped] == ["members[0].user.username"]


# -- as_dict -------------------------------------------------------------------

@pytest.mark.parametrize("cls_name", CLASSES)
@pytest.mark.parametrize("values", ["minimal", "full"])
def test_as_dict_round_trip(cls_name, values):
    record = make(cls_name) if values == "minimal" else make(cls_name, **full_values(cls_name))
    fields = as_dict(record)
    assert list(fields) == [name for name, _, _ in SCHEMA[cls_name]]
    assert {name: _typed(value) for name, value in fields.items()} == snapshot(record)
    assert_same_record(getattr(tarnwick, cls_name)(**fields), record)
    json.dumps(fields)


@pytest.mark.parametrize("value", [5, {"id": 1}, tarnwick.full_user, None])
def test_as_dict_refuses_other_objects(value):
    with pytest.raises(TypeError, match="as_dict.. takes a tarnwick record"):
        as_dict(value)


# The tests' kinds, as the wording knows them: an id is an unsigned 64-bit
# field named as one.
OUR_KIND = {"u64": "u64", "opt_u64": "u64", "u32": "u32", "opt_u32": "u32", "i32": "i32", "u8": "u8",
            "bool": "flag", "text": "text", "opt_text": "text", "ids": "id list", "texts": "text list"}


@pytest.mark.parametrize("cls_name", CLASSES)
def test_field_tables_match_the_classes(cls_name):
    cls = getattr(tarnwick, cls_name)
    assert FIELDS[cls] == tuple(name for name, _, _ in SCHEMA[cls_name])
    assert REQUIRED[cls] == tuple(name for name, _, default in SCHEMA[cls_name] if default is REQ)
    expected = {name: OUR_KIND[kind] for name, kind, _ in SCHEMA[cls_name]}
    expected.update({name: "id" for name, kind in expected.items()
                     if kind == "u64" and (name == "id" or name.endswith("_id"))})
    assert kinds(cls) == expected
    # The field tables' wire rules agree with the kinds: ids and permissions
    # arrive as decimal strings, and so are read as such, not as they are.
    read_here = {w.field for w in WIRE[cls] if w.wire != "value"}
    assert read_here == {name for name, kind in expected.items() if kind in ("id", "u64", "id list")}


def test_the_docstring_lists_the_required_fields_at_their_wire_paths():
    assert "\n    role(d)     id, name, color, hoist\n" in payloads.__doc__
    assert "\n    message(d)  id, channel_id, author.id, content, timestamp\n" in payloads.__doc__
    assert "\n    member(d)   user.id\n" in payloads.__doc__
