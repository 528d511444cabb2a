"""Gateway dispatch events, applied to the tarnwick cache.

::

    outcome = events.apply(event_type, data, on_skip=None)
    frame = events.apply_frame(text, on_skip=None)
    frame = await events.AsyncApplier(on_skip=None).apply(text)

``event_type`` is the dispatch's event name (the frame's ``t``) and ``data``
its payload (``d``), as ``json.loads`` returns it.  ``apply_frame`` takes the
whole frame as the gateway sends it (``bytes``, ``bytearray``,
``memoryview`` or ``str``), reads it natively, without making Python objects
of it, and applies a dispatch exactly as ``apply(t, json.loads(text)["d"])``
would: the same outcome, the same cache, the same faults.  It returns a
:class:`Frame` (``op``, ``type``, ``seq`` and the dispatch's ``outcome``, None
for other opcodes), whose ``id`` is the id in a handled dispatch's data
(``d.id``: a message's, a guild's; None when it holds none), to read the
subject back from the cache with, ``tarnwick.get_message(frame.id)`` say,
without decoding the frame again; and whose ``before`` is the record the
dispatch replaced or removed, as it was filed: the message of a
MESSAGE_UPDATE or MESSAGE_DELETE (a tuple of those a MESSAGE_DELETE_BULK
removed), the member of a GUILD_MEMBER_UPDATE, GUILD_MEMBER_REMOVE or
GUILD_BAN_ADD, the role of a GUILD_ROLE_CREATE, GUILD_ROLE_UPDATE or
GUILD_ROLE_DELETE, the user of a USER_UPDATE or of a PRESENCE_UPDATE that
changes it.  It is None when none was filed, for a member or user the frame
leaves as it was, and for every other event: read it to log an edit or a
deletion, which the cache no longer holds once the frame is applied.  A text
that is not JSON raises PayloadError (path "", the reason says where); so
does NaN or Infinity, nesting deeper than 128, and a frame over 128 MiB.
What json.loads reads but the native reader does not (an integer beyond 64
bits, a lone surrogate escape) is read by json.loads, to the same effect.
``apply`` returns an :class:`Outcome`:

``APPLIED``      the cache now reflects the event;
``IGNORED``      the event names something that is not filed (a member of a
                 guild the cache does not hold, a message already evicted),
                 or carries nothing the cache keeps, so nothing changed;
``UNAVAILABLE``  the event reports a guild outage; the cache keeps the guild
                 as last seen;
``UNSUPPORTED``  not an event this module handles (``data`` is not looked at).

Malformed data raises :class:`~tarnwick_extras.payloads.PayloadError`, whose
``path`` names the field (``members[3].user.id``, ``ids[2]``, ``guild_id``),
and changes nothing: every record is built before anything is filed.  In an
event that carries many members, roles, emojis or stickers (GUILD_CREATE,
GUILD_UPDATE, GUILD_MEMBERS_CHUNK, GUILD_EMOJIS_UPDATE, GUILD_STICKERS_UPDATE,
the soundboard's, THREAD_MEMBERS_UPDATE) a bad entry is skipped whole
instead (a skipped member files neither the member nor its user, a skipped
emoji neither the emoji nor its creator) and the rest is applied; its
PayloadError, whose path names the entry (``members[500].joined_at``), goes
to ``on_skip``, or without one to ``warnings.warn`` as a
:class:`SkippedEntryWarning`.  An ``on_skip`` that
raises (or a warning raised as an error) ends the event with nothing
changed, but for the users a GUILD_CREATE read before a bad member (its
emojis', stickers' and sounds' creators, the earlier members' users), which
stay merged (the guild is not filed).

The events and what each does:

``GUILD_CREATE``          files the guild with its roles, emojis and members
                          (replacing any filed one) and merges the members'
                          users and the creators (``user``) of its emojis,
                          stickers and soundboard sounds; ``unavailable:
                          true`` files nothing
                          (UNAVAILABLE)
``GUILD_UPDATE``          merges the guild's fields, keeping the filed members;
                          roles and emojis are replaced by the payload's when it
                          carries them, kept otherwise; the creators of the
                          emojis and stickers it carries are merged
``GUILD_DELETE``          removes the guild, its collections and its messages
                          (filed whether or not the guild was); with
                          ``unavailable: true`` it is an outage: the guild
                          stays
``GUILD_MEMBER_ADD``      puts the member (a member object plus ``guild_id``)
                          and merges its user
``GUILD_MEMBER_UPDATE``   merges the payload onto the filed member (or puts it
                          whole if none is filed) and merges its user
``GUILD_MEMBER_REMOVE``   removes the member named by ``user``; the user stays
``GUILD_MEMBERS_CHUNK``   puts every member of ``members`` and merges their
                          users; a member filed under an id of ``not_found``
                          (asked for by id, and no member) has left, and goes
``GUILD_ROLE_CREATE``,
``GUILD_ROLE_UPDATE``     puts ``role``
``GUILD_ROLE_DELETE``     removes ``role_id`` and takes it off every member's
                          and emoji's ``roles`` (the platform sends no member
                          update then)
``GUILD_EMOJIS_UPDATE``   makes ``emojis`` the guild's whole emoji set and
                          merges their creators (``user``, sent to a bot that
                          may manage emojis)
``GUILD_STICKERS_UPDATE`` merges the creators of ``stickers`` (stickers are not
                          kept); IGNORED when none is sent
``GUILD_SOUNDBOARD_SOUNDS_UPDATE``,
``SOUNDBOARD_SOUNDS``     the same for the creators of ``soundboard_sounds``
``GUILD_SOUNDBOARD_SOUND_CREATE``,
``GUILD_SOUNDBOARD_SOUND_UPDATE``,
``INTEGRATION_CREATE``,
``INTEGRATION_UPDATE``    merges the ``user`` it carries (a sound's creator,
                          who added an integration), as INVITE_CREATE does
``GUILD_BAN_ADD``         removes the member named by ``user`` and merges the user
``GUILD_BAN_REMOVE``      merges ``user``
``READY``                 merges the connected account's ``user``; the guilds it
                          lists are unavailable and each arrives as a
                          GUILD_CREATE.  A filed guild it does not list was
                          left while the bot was away, and is removed as by
                          GUILD_DELETE; with ``shard: [shard_id, num_shards]``
                          only the shard's guilds (``(id >> 22) % num_shards
                          == shard_id``) are looked at, and without
                          ``guilds`` none is.  The cache is the process's:
                          one bot account's shards per process
``USER_UPDATE``           merges the user
``PRESENCE_UPDATE``       merges the fields its ``user`` carries onto the filed
                          user, whatever its guild (IGNORED if no user is
                          filed); a field whose value
                          does not convert is passed over, since the platform
                          does not check presence data
``INTERACTION_CREATE``,
``VOICE_STATE_UPDATE``,
``TYPING_START``,
``MESSAGE_REACTION_ADD``  merges the ``member`` it carries in a guild (with
                          ``user``) onto the filed member, or puts it, and
                          merges its user; an interaction in a DM merges its
                          ``user``; IGNORED when it carries neither.  An
                          interaction also merges, with these, the users and
                          members its command names (``data.resolved``:
                          ``users`` by id, and in a guild ``members`` by user
                          id, each without its user, merged as a message's)
``THREAD_MEMBERS_UPDATE`` does the same as VOICE_STATE_UPDATE for the
                          ``member`` of each entry of ``added_members``
``CHANNEL_DELETE``,
``THREAD_DELETE``         removes the messages filed under that channel ``id``
                          (IGNORED if there were none)
``MESSAGE_CREATE``        files the message and merges its author and the users
                          it ``mentions``; the ``member`` a guild message
                          carries (the author's membership, without its user),
                          and that of each mention, is merged onto the filed
                          member, or put, if the guild is filed.  A webhook's
                          message (``webhook_id``) keeps its ``author``'s id
                          (the webhook's, as the platform sends it) and files
                          no user for it.  A reply's
                          ``referenced_message`` is filed too, with its author
                          and the reply's guild, unless the filed copy was
                          edited later; ``referenced_message: null`` means the
                          message it replied to was deleted, and removes it.
                          The answer to an interaction merges the users its
                          ``interaction_metadata`` names (``user``,
                          ``target_user``, and those of its
                          ``triggering_interaction_metadata``), and the older
                          ``interaction``'s ``user`` with, in a guild, its
                          ``member``.  A forward merges the users its
                          ``message_snapshots`` mention, and a message whose
                          menus are filled in advance those ``resolved`` names
                          (``users``, and in a guild ``members`` as an
                          interaction's).  A user or member sent twice (an
                          author who mentions themself) keeps what each copy
                          says
``MESSAGE_UPDATE``        merges the payload onto the filed message and files
                          the result (the newest for the message limit); a
                          message not filed is filed only if the payload is a
                          whole message, and IGNORED otherwise.  ``tts`` never
                          changes (the platform sends false in every update);
                          the rest goes as for MESSAGE_CREATE
``MESSAGE_DELETE``        removes ``id``
``MESSAGE_DELETE_BULK``   removes every id of ``ids`` (IGNORED if none was filed)
``GUILD_AUDIT_LOG_ENTRY_CREATE``
                          keeps members true for a bot without the members
                          intent: a kick (``action_type`` 20) or a ban (22)
                          removes the member ``target_id`` (the user stays)
                          unless its ``joined_at`` is later than the entry's
                          ``id`` was made (they came back after it; an entry
                          without an ``id``, or a ``joined_at`` that is not a
                          time, removes them); a
                          member update (24) sets the ``nick``,
                          ``communication_disabled_until`` (a timeout),
                          ``deaf`` and ``mute`` its changes name on the filed
                          member (a text change without ``new_value`` clears
                          it); a role update (25) adds the roles of the
                          ``$add`` changes and takes those of ``$remove`` off
                          it.  Other actions are IGNORED
``INVITE_CREATE``         merges the ``inviter`` and ``target_user`` it carries
``GUILD_SCHEDULED_EVENT_CREATE``,
``GUILD_SCHEDULED_EVENT_UPDATE``,
``GUILD_SCHEDULED_EVENT_DELETE``
                          merges the ``creator`` it carries; these,
                          INVITE_CREATE, the sounds' and the integrations'
                          are IGNORED when they carry no user or name a guild
                          that is not filed

Merging: a key the payload sends replaces the filed value, a key it leaves
out keeps it.  ``null`` clears a field that can be None (a member's
``nick``, a message's ``edited_timestamp``, a user's ``global_name``); for any
other field it means "not sent", so the filed value stays.  Every user that
arrives (an author, a mention, a member's user, READY's) is merged this way,
so a short form of a user never wipes what a fuller one said.

Members, roles and emojis of a guild that is not filed are IGNORED, and so
is anything that names such a guild: it files nothing, not even a member's
user (but a message is filed, with the users it names, and a presence's user
merged, whatever the guild).  No event removes a user: a user may belong to
any number of guilds.  Call ``cache.prune_users()`` now and then to let go
of the users that no filed guild and no kept message names.

Every event costs what it changes, whatever the size of the guild:
GUILD_UPDATE files the new fields with ``cache.update_guild``, which keeps
the filed guild's collections as they are (shared, not copied), and the
role and emoji sets are replaced with ``cache.set_roles`` and
``cache.set_emojis``.  Nothing is kept here between events, so a guild
filed by any other means is kept in step just the same.  CHANNEL_DELETE,
THREAD_DELETE and GUILD_DELETE walk the messages kept (natively; rare
events).  Where CHANNEL_DELETE's or THREAD_DELETE's walk, or letting go
of a guild that a GUILD_DELETE removes or a GUILD_CREATE replaces, or
taking a role from the members of a GUILD_ROLE_DELETE, covers 10,000
entries or more, it runs without the interpreter lock, so other threads
run meanwhile.  From asyncio, :class:`AsyncApplier` applies frames in the
order they come and hands a big one, or one of those events, to a worker
thread, so the event loop runs on while it is applied.
"""

from __future__ import annotations

import enum
import json
import operator
import sys
import warnings
from _thread import get_ident
from typing import TYPE_CHECKING, Any, Callable, Final, Optional, Tuple, Union, final

from .cache import (_EVENT_TYPES, _apply, _apply_frame, _apply_frame_here, _apply_loaded_frame, _configure_events,
                    _Frame)
from .payloads import PayloadError

__all__ = ["BIG_FRAME", "EVENT_TYPES", "AsyncApplier", "Frame", "Outcome", "SkippedEntryWarning", "apply",
           "apply_frame"]


class Outcome(enum.Enum):
    """What apply() did with an event."""

    APPLIED = "applied"
    IGNORED = "ignored"
    UNAVAILABLE = "unavailable"
    UNSUPPORTED = "unsupported"


_OUTCOMES = (Outcome.APPLIED, Outcome.IGNORED, Outcome.UNAVAILABLE, Outcome.UNSUPPORTED)


class SkippedEntryWarning(UserWarning):
    """An entry of a many-entry event that was skipped (apply() without on_skip)."""


if TYPE_CHECKING:
    import asyncio
    import concurrent.futures

    from _typeshed import structseq

    from tarnwick import full_member, full_message, full_role, full_user

    @final
    class Frame(structseq[Any], Tuple[int, Optional[str], Optional[int], Optional[Outcome]]):
        """What apply_frame() read: the frame's opcode, its type (``t``) and
        sequence number (``s``), and the dispatch's outcome (None for an
        opcode other than 0, a dispatch); and, as attributes only (the
        tuple has the first four), the id in a handled dispatch's data and
        what the dispatch displaced or removed from the cache."""

        if sys.version_info >= (3, 10):
            __match_args__: Final = ("op", "type", "seq", "outcome")

        @property
        def op(self) -> int: ...
        @property
        def type(self) -> Optional[str]: ...
        @property
        def seq(self) -> Optional[int]: ...
        @property
        def outcome(self) -> Optional[Outcome]: ...
        @property
        def id(self) -> Optional[int]: ...
        @property
        def before(self) -> Union[full_message, Tuple[full_message, ...], full_member, full_role, full_user,
                                  None]: ...
else:
    Frame = _Frame  # a struct sequence: made natively, at the cost of one tuple


_OnSkip = Callable[[PayloadError], object]


def _warn(error: PayloadError) -> None:
    warnings.warn(SkippedEntryWarning(f"skipped {error}"), stacklevel=3)  # apply's caller


EVENT_TYPES: Tuple[str, ...] = _EVENT_TYPES
"""The event types apply() handles; any other is UNSUPPORTED."""


def apply(event_type: str, data: object, *, on_skip: Optional[_OnSkip] = None) -> Outcome:
    """Apply one dispatch event to the cache; see the module docstring.

    Raises PayloadError for malformed ``data`` (nothing is changed then) and
    TypeError if ``event_type`` is not a str.  ``on_skip`` is called with the
    PayloadError of each entry skipped from a many-entry event; without it,
    each is issued as a SkippedEntryWarning.
    """
    if not isinstance(event_type, str):
        raise TypeError(f"event_type must be a str, not {type(event_type).__name__!r}")
    return _apply(event_type, data, on_skip)


def _refuse_constant(name: str) -> float:
    raise ValueError(f"{name} is not JSON")


def _byte_offset(frame: Union[bytes, bytearray, str], pos: int) -> int:
    """The byte offset of character ``pos`` of the text json.loads read."""
    if isinstance(frame, str):
        return len(frame[:pos].encode("utf-8", "surrogatepass"))
    # json.loads decodes bytes as this, past any BOM.
    encoding = json.detect_encoding(frame)
    tail = bytes(frame).decode(encoding, "surrogatepass")[pos:]
    if encoding in ("utf-16", "utf-32"):
        encoding += "-le" if frame[:2] == b"\xff\xfe" else "-be"
    elif encoding == "utf-8-sig":
        encoding = "utf-8"
    return len(frame) - len(tail.encode(encoding, "surrogatepass"))


def _not_json(error: Exception, frame: Union[bytes, bytearray, str]) -> str:
    """Why json.loads refused the frame, with the byte offset of the fault."""
    if isinstance(error, UnicodeDecodeError):
        return f"not valid UTF-8 at byte {error.start}"
    if isinstance(error, json.JSONDecodeError):
        return f"not valid JSON at byte {_byte_offset(frame, error.pos)}: {error.msg}"
    return f"not valid JSON: {error}"


def apply_frame(frame: Union[bytes, bytearray, memoryview, str], *,
                on_skip: Optional[_OnSkip] = None) -> Frame:
    """Read one gateway frame and apply its dispatch; see the module docstring.

    Raises PayloadError for a frame that is not JSON or not a frame, or a
    dispatch whose data is malformed (nothing is changed then), and
    TypeError for a frame that is not bytes, bytearray, memoryview or str.
    """
    return _apply_frame(frame, on_skip)


BIG_FRAME: Final = 1 << 20
"""The size of a frame's text, in UTF-8 bytes, above which apply_frame lets
go of the interpreter lock while it works, and AsyncApplier hands the frame
to a worker thread."""


class _Turn:
    """One handed-over frame's place in line.  Its future ends with None
    once the frame, and every frame before it, is applied; or, when its job
    never ran, with the turn before it, to be waited for in its stead.  So
    whoever waits walks the line, and a run of dropped frames makes no chain
    of callbacks."""

    __slots__ = ("_future",)

    def __init__(self) -> None:
        import concurrent.futures  # loaded by asyncio already

        self._future: concurrent.futures.Future[Optional[_Turn]] = concurrent.futures.Future()

    def end(self, passed_to: Optional[_Turn]) -> None:
        import concurrent.futures

        try:
            self._future.set_result(passed_to)
        except concurrent.futures.InvalidStateError:
            pass  # ended already

    def ended(self) -> bool:
        return self._future.done()

    @staticmethod
    def wait(turn: Optional[_Turn]) -> None:
        """Until every frame up to `turn` is applied."""
        while turn is not None:
            turn = turn._future.result()

    @staticmethod
    def pending(turn: Optional[_Turn]) -> Optional[_Turn]:
        """The first turn up to `turn` still to pass, or None: no waiting."""
        while turn is not None and turn._future.done():
            turn = turn._future.result()
        return turn


_asyncio: Any = None


def _running_loop() -> asyncio.AbstractEventLoop:
    global _asyncio
    if _asyncio is None:
        import asyncio  # not at import: most programs never come here
        _asyncio = asyncio
    loop: asyncio.AbstractEventLoop = _asyncio.get_running_loop()  # (up to 3.11, a system call)
    return loop


class AsyncApplier:
    """Applies one gateway connection's frames from asyncio code, in the
    order they come, without holding up the event loop for a big one::

        applier = events.AsyncApplier()
        frame = await applier.apply(text)      # as apply_frame(text)

    apply() takes the frame's place in line when it is called, and returns
    an asyncio future of what apply_frame returns or raises (an exception
    that is no Exception, from an on_skip, is raised by apply() itself when
    the frame is applied within the call).  A frame of over ``big_frame``
    bytes (a big guild's GUILD_CREATE or members chunk) is handed to a
    worker thread; so is a GUILD_CREATE, GUILD_DELETE, GUILD_ROLE_DELETE,
    CHANNEL_DELETE, THREAD_DELETE or READY of any size, whose work can grow
    with a guild or the messages kept, and any frame that comes while one
    handed over is still to be applied.  A worker applies each in its turn
    (apply_frame lets go of the interpreter lock for a frame of over
    BIG_FRAME bytes and for long work, so the loop runs on meanwhile).  Any
    other frame is applied at once, on the loop, within the call.  So every
    frame is applied in the order of the calls, however their futures are
    awaited.

    Call apply() from one thread (one loop after another is fine), and make
    the applier after any os.fork().  ``executor`` runs the worker's jobs; by
    default the applier makes a thread of its own.  An executor of your own
    must start jobs in the order they are submitted (a ThreadPoolExecutor
    does), and a job waiting its turn holds one of its threads meanwhile:
    give the applier one that nothing else uses.

    ``on_skip`` is as for apply_frame; for a frame applied by a worker it is
    called in that thread (where apply() is not to be called), and so is the
    SkippedEntryWarning issued without it.  Cancelling the future of a frame
    that the worker has not started on leaves the frame unapplied, once the
    loop has passed the cancellation on (so does an executor that drops the
    job, as ``shutdown(cancel_futures=True)`` does); a loop that ends
    cancels the futures its tasks await.
    Otherwise a frame handed over is applied, even if its loop ends first.
    The frames after one left unapplied keep their place behind the ones
    before.  A ``bytearray`` or ``memoryview`` handed over is read when its
    turn comes: leave it as it is until then.
    """

    def __init__(self, *, on_skip: Optional[_OnSkip] = None,
                 executor: Optional[concurrent.futures.Executor] = None, big_frame: int = BIG_FRAME) -> None:
        self._on_skip = on_skip
        self._executor = executor
        self._big_frame = min(max(0, operator.index(big_frame)), (1 << 64) - 1)
        # The last frame handed over: a thread's future passes its turn, so
        # that no loop need be running for that.
        self._last: Optional[_Turn] = None
        self._loop: Optional[asyncio.AbstractEventLoop] = None
        self._thread = 0
        # While a frame is applied within a call: its turn, made when its
        # on_skip calls apply(), so that the frame called for goes after it.
        self._applying = False
        self._applying_turn: Optional[_Turn] = None

    def apply(self, frame: Union[bytes, bytearray, memoryview, str]) -> asyncio.Future[Frame]:
        """Apply one frame in its turn; the future's result is apply_frame's.
        Call it from a coroutine or callback of the running loop."""
        loop = self._loop  # the loop of the call before, while it runs in this thread
        if loop is None or self._thread != get_ident() or not loop.is_running():
            loop = self._loop = _running_loop()  # raises RuntimeError off any loop
            self._thread = get_ident()
        if self._applying and self._applying_turn is None:
            self._applying_turn = self._last = _Turn()
        before = self._last
        if before is not None:
            before = self._last = _Turn.pending(before)
        if before is None:
            result: asyncio.Future[Frame] = loop.create_future()
            self._applying = True
            try:
                applied = _apply_frame_here(frame, self._on_skip, self._big_frame)
            except Exception as e:
                result.set_exception(_settable(e))
                return result
            finally:
                self._applying = False
                if self._applying_turn is not None:
                    self._applying_turn.end(None)
                    self._applying_turn = None
            if applied is not None:
                result.set_result(applied)
                return result
        turn = self._last = _Turn()
        on_skip = self._on_skip

        def job() -> Frame:
            try:
                _Turn.wait(before)
                return _apply_frame(frame, on_skip)
            finally:
                turn.end(None)
        try:
            if self._executor is None:
                import concurrent.futures

                self._executor = concurrent.futures.ThreadPoolExecutor(1, "tarnwick-frames")
            handed = self._executor.submit(job)
        except BaseException:
            turn.end(before)
            raise

        def dropped(_: object) -> None:
            if not turn.ended():  # its job never ran (cancelled, or its executor broke)
                turn.end(before)
        handed.add_done_callback(dropped)
        return _future_on(loop, handed)


def _settable(error: BaseException) -> BaseException:
    """The error for an asyncio future, which refuses StopIteration (an
    on_skip might raise one)."""
    if isinstance(error, StopIteration):
        wrapped = RuntimeError(repr(error))
        wrapped.__cause__ = error
        return wrapped
    return error


def _future_on(loop: asyncio.AbstractEventLoop, handed: concurrent.futures.Future[Frame]) -> asyncio.Future[Frame]:
    """An asyncio future of `handed` (as asyncio.wrap_future, but nothing is
    sent to the loop once it is closed: 3.9 logs an error then).  Cancelling
    it cancels the job, unless the job has started."""
    result: asyncio.Future[Frame] = loop.create_future()

    def copy() -> None:
        if result.done():
            return
        if handed.cancelled():
            result.cancel()
        elif (error := handed.exception()) is not None:
            result.set_exception(_settable(error))
        else:
            result.set_result(handed.result())

    def deliver(_: object) -> None:
        if not loop.is_closed():
            try:
                loop.call_soon_threadsafe(copy)
            except RuntimeError:
                pass  # closed meanwhile

    def cancelled(_: object) -> None:
        if result.cancelled():
            handed.cancel()
    result.add_done_callback(cancelled)
    handed.add_done_callback(deliver)
    return result


def _through_json(frame: Union[bytes, bytearray, memoryview, str], verdict: str,
                  on_skip: Optional[_OnSkip]) -> Frame:
    """A frame the native reader leaves to json.loads.  ``verdict`` is
    "retry" for a text it holds what json.loads reads and the native reader
    does not (an integer beyond 64 bits, a lone surrogate escape): that is
    applied from what json.loads makes.  Otherwise it is why the native
    reader refused the text without saying where: json.loads says where,
    if the text is not JSON, and the reason stands if it is."""
    text = frame.tobytes() if isinstance(frame, memoryview) else frame
    try:
        doc = json.loads(text, parse_constant=_refuse_constant)
    except RecursionError as e:
        raise PayloadError("", "arrays and objects nested too deep to read" if verdict == "retry"
                           else verdict) from e
    except ValueError as e:
        raise PayloadError("", _not_json(e, text)) from e
    if verdict != "retry":
        raise PayloadError("", verdict)
    return _apply_loaded_frame(doc, on_skip)


_configure_events(_OUTCOMES, _warn, _through_json)
