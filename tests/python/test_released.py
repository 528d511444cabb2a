"""The calls that walk the whole cache let go of the interpreter lock, so
other threads run meanwhile; and a fork waits until such a walk is done.
Each check runs in a fresh interpreter with a test build's hooks: a thread
makes the call on a big cache while the main thread watches
walks_running(), which it can only see above zero if the walking thread let
go of the interpreter lock."""

import pytest

from twhelpers import run_python_value

pytestmark = pytest.mark.usefixtures("hooks")

WATCH = """
import threading, tarnwick
from tarnwick_extras import cache, events
from tarnwick_extras._sibling import load_sibling
hooks = load_sibling("_tarnwick_hooks")
T = tarnwick

def users(n, base=0):
    for i in range(n): T.register_user(T.full_user(base + i, "u"))

def big_guild(gid, n):
    g = T.full_guild(gid, "g")
    for i in range(n): g.add_member(T.full_member(i, nick="a nick"))
    T.register_guild(g)

held = []

def messages(n, channel=7):
    for i in range(n): T.register_message(T.full_message(i + 1, channel, 1, "c", "t", guild_id=5))

CASES = {
    "prune_users": (lambda: users(300_000), lambda: cache.prune_users()),
    "remove_guild": (lambda: big_guild(5, 200_000), lambda: cache.remove_guild(5)),
    "register_guild over a big guild": (lambda: big_guild(5, 200_000), lambda: T.register_guild(T.full_guild(5, "g"))),
    # The last holder of a removed guild's collections frees them.
    "last view of a removed guild": (lambda: (big_guild(5, 200_000), held.append(cache.members(5)),
                                              cache.remove_guild(5)), lambda: held.clear()),
    "last copy of a removed guild": (lambda: (big_guild(5, 200_000), held.append(T.get_guild(5)),
                                              cache.remove_guild(5)), lambda: held.clear()),
    "end of an iteration of a removed guild": (lambda: (big_guild(5, 200_000), held.append(iter(cache.members(5))),
                                                        cache.remove_guild(5)), lambda: all(held.pop())),
    "set_message_limit": (lambda: (cache.set_message_limit(None), messages(300_000)),
                          lambda: cache.set_message_limit(10)),
    "remove_channel_messages": (lambda: (cache.set_message_limit(None), messages(300_000)),
                                lambda: cache.remove_channel_messages(7)),
    "user_ids": (lambda: users(300_000), lambda: [cache.user_ids() for _ in range(20)]),
    "find_members": (lambda: big_guild(5, 200_000), lambda: cache.find_members(5, "x")),
    "clear": (lambda: users(300_000, 10**6), lambda: cache.clear()),
    # Events whose work is as big as the guild or the messages kept, from
    # small frames and dicts alike.
    "GUILD_DELETE frame": (lambda: big_guild(5, 200_000),
                           lambda: events.apply_frame(b'{"op":0,"t":"GUILD_DELETE","s":1,"d":{"id":"5"}}')),
    "GUILD_CREATE over a big guild": (lambda: big_guild(5, 200_000),
                                      lambda: events.apply("GUILD_CREATE", {"id": "5", "name": "g"})),
    "GUILD_ROLE_DELETE": (lambda: big_guild(5, 200_000),
                          lambda: events.apply("GUILD_ROLE_DELETE", {"guild_id": "5", "role_id": "9"})),
    "THREAD_DELETE": (lambda: (cache.set_message_limit(None), messages(300_000)),
                      lambda: events.apply("THREAD_DELETE", {"id": "7", "guild_id": "5", "type": 11})),
    "GUILD_DELETE of a guild's messages": (lambda: (cache.set_message_limit(None), messages(300_000),
                                                   T.register_guild(T.full_guild(5, "g"))),
                                           lambda: events.apply("GUILD_DELETE", {"id": "5"})),
}
seen = {}
for name, (setup, call) in CASES.items():
    for attempt in range(20):          # the main thread may miss a short walk on a busy machine
        setup()
        t = threading.Thread(target=call)
        t.start()
        watched = 0
        while t.is_alive():
            watched = max(watched, hooks.walks_running())
        t.join()
        if watched:
            break
    seen[name] = watched
print(repr(seen))
"""


def test_long_walks_let_other_threads_run():
    assert run_python_value(WATCH) == {"prune_users": 1, "remove_guild": 1, "register_guild over a big guild": 1,
                                       "last view of a removed guild": 1, "last copy of a removed guild": 1,
                                       "end of an iteration of a removed guild": 1,
                                       "set_message_limit": 1,
                                       "remove_channel_messages": 1, "user_ids": 1, "find_members": 1,
                                       "clear": 1, "GUILD_DELETE frame": 1, "GUILD_CREATE over a big guild": 1,
                                       "GUILD_ROLE_DELETE": 1, "THREAD_DELETE": 1,
                                       "GUILD_DELETE of a guild's messages": 1}


EXIT = """
import gc, json, os, threading, time, tarnwick as T
from tarnwick_extras import cache, events, payloads
from tarnwick_extras._sibling import load_sibling
hooks = load_sibling("_tarnwick_hooks")
for i in range(30_000): T.register_user(T.full_user(i, "u"))
T.register_guild(T.full_guild(5, "g"))
called = threading.Event()

def drop_big_guilds():
    while True:
        g = T.full_guild(5, "g")
        for i in range(20_000): g.add_member(T.full_member(i, nick="n"))
        del g                        # frees its members without the interpreter lock

def prune():
    while True:
        cache.prune_users(keep=range(30_000))

def log_skips():                     # a callback that writes, letting go of the lock
    log = open(os.devnull, "w")
    def on_skip(error):
        called.set()
        for _ in range(1000):
            log.write(str(error)); log.flush()
    while True:
        events.apply("GUILD_MEMBERS_CHUNK", {"guild_id": "5", "members": [{"user": {"id": "x"}}] * 50},
                     on_skip=on_skip)

def skip_in_big_frames():            # the skip takes the lock back midway through a released read
    members = [{"user": {"id": str(i), "username": "u"}, "joined_at": "j", "nick": "n" * 20}
               for i in range(60_000)] + [{"user": {"id": "1"}, "joined_at": 5}]
    frame = json.dumps({"op": 0, "t": "GUILD_MEMBERS_CHUNK", "s": 1,
                        "d": {"guild_id": "5", "members": members}}).encode()
    while True:
        events.apply_frame(frame, on_skip=lambda e: None)

def bad_payloads():                  # each PayloadError, made in Python, lets go of the lock
    init = payloads.PayloadError.__init__
    def slow_init(self, *args, sleep=time.sleep):
        called.set(); sleep(0.0005); init(self, *args)
    payloads.PayloadError.__init__ = slow_init
    while True:
        try:
            payloads.user({"id": "1", "username": "u", "bot": "yes"})
        except payloads.PayloadError:
            pass

class Roles:                         # a sequence whose iterator's finally lets go of the lock
    def __len__(self): return 2
    def __getitem__(self, i): raise IndexError
    def __iter__(self):
        try:
            yield 1; yield "bad"
        finally:
            called.set(); time.sleep(0.0005)

def stopped_iterators():             # a conversion stops at "bad" and drops the iterator
    while True:
        try:
            T.full_member(1, roles=Roles())
        except TypeError:
            pass

class SlowToGo:                      # a cycle, collected while the interpreter exits
    def __del__(self, sleep=time.sleep):
        sleep(1)
gc.disable()
slow = SlowToGo(); slow.me = slow; del slow
threading.Thread(target=CALL, daemon=True).start()
while not (hooks.walks_running() or called.is_set()):
    pass
print(repr("exits"))                 # while the daemon thread walks or calls back
"""


@pytest.mark.parametrize("call", ["drop_big_guilds", "prune", "log_skips", "skip_in_big_frames", "bad_payloads",
                                  "stopped_iterators"])
def test_the_interpreter_exits_while_a_daemon_thread_walks_or_calls_back(call):
    # The exit ends a daemon thread as it takes the interpreter lock back.
    assert run_python_value(EXIT.replace("CALL", call)) == "exits"


FORK = """
import os, threading, time, tarnwick
from tarnwick_extras import cache
from tarnwick_extras._sibling import load_sibling
hooks = load_sibling("_tarnwick_hooks")
for i in range(300_000): tarnwick.register_user(tarnwick.full_user(i, "u"))
stop = False
def walk():
    while not stop:
        cache.prune_users(keep=range(300_000))
t = threading.Thread(target=walk)
t.start()
while not hooks.walks_running():
    pass
pid = os.fork()                     # waits for the walk under way to end
if pid == 0:
    # Every shard lock must be free in the child, or these never return.
    cache.prune_users(keep=range(300_000))
    os._exit(0 if cache.stats()["users"] == 300_000 else 1)
stop = True
t.join()
deadline = time.monotonic() + 60
while time.monotonic() < deadline:
    done, status = os.waitpid(pid, os.WNOHANG)
    if done:
        break
    time.sleep(0.05)
else:
    os.kill(pid, 9)
    status = "hung"
print(repr({"child": status}))
"""


def test_a_fork_during_a_walk_leaves_the_child_no_lock_held():
    assert run_python_value(FORK, "-W", "ignore::DeprecationWarning") == {"child": 0}


BIG_FRAME = """
import faulthandler, json, threading, tarnwick
from tarnwick_extras import cache, events
faulthandler.dump_traceback_later(60, exit=True)   # a deadlock fails, and soon

def user(uid, **fields):
    return {"id": str(uid), "username": "u", **fields}

def member(uid, **fields):
    return {"user": user(uid), "roles": [], "joined_at": "2024-05-01T12:00:00+00:00", **fields}

def frame(members):
    text = json.dumps({"op": 0, "t": "GUILD_CREATE", "s": 1, "d": {"id": "5", "name": "g", "members": members}})
    assert len(text) > 1 << 20
    return text.encode()

# Filed member by member, so another thread sees the users arrive midway.
plain = frame([member(100 + i, nick="n" * 500) for i in range(2200)])
counts = set()
for attempt in range(5):
    cache.clear()
    t = threading.Thread(target=events.apply_frame, args=(plain,))
    t.start()
    while t.is_alive():
        counts.add(cache.stats()["users"])
    t.join()
    if counts - {0, 2200}:
        break

# A prune beginning between the users the frame files and its guild keeps them.
orphaned = 0
for attempt in range(20):
    cache.clear()
    for i in range(20_000):
        tarnwick.register_user(tarnwick.full_user(10**6 + i, "x"))
    t = threading.Thread(target=events.apply_frame, args=(plain,))
    t.start()
    while t.is_alive():
        if cache.stats()["users"] > 20_050:
            cache.prune_users()
            break
    t.join()
    orphaned += sum(tarnwick.get_user(100 + i) is None for i in range(2200))

# The first entry's user is filed and its fault's text is made by the
# interpreter's repr; another thread keeps refiling that user meanwhile.
tarnwick.register_user(tarnwick.full_user(7, "u"))
faulty = frame([dict(member(7), user=user(7, flags="x"))] + [member(100 + i, nick="n" * 500) for i in range(2200)])
stop = False
def refile():
    versions, i = [tarnwick.full_user(7, "u"), tarnwick.full_user(7, "v")], 0
    while not stop:
        tarnwick.register_user(versions[i & 1])
        i += 1
writer = threading.Thread(target=refile)
writer.start()
skipped = []
for _ in range(30):
    events.apply_frame(faulty, on_skip=skipped.append)
stop = True
writer.join()
users = cache.stats()["users"]

# A big frame over a big filed guild lets go of the old guild inside its own
# released read, or, once a skipped entry has taken the lock back, in a
# released walk of its own.
over = {}
for name, members in (("plain", plain), ("after a skip", faulty)):
    events.apply_frame(frame([member(10**7 + i) for i in range(12_000)]))
    outcome = events.apply_frame(members, on_skip=lambda e: None).outcome
    over[name] = (outcome.name, cache.stats()["members"])
print(repr({"midway": bool(counts - {0, 2200}), "orphaned": orphaned, "skipped": len(skipped),
            "users": users, "over": over}))
"""


def test_a_big_frame_is_filed_while_other_threads_run():
    assert run_python_value(BIG_FRAME) == {"midway": True, "orphaned": 0, "skipped": 30, "users": 2201,
                                           "over": {"plain": ("APPLIED", 2200), "after a skip": ("APPLIED", 2200)}}


# While a GUILD_DELETE lets go of the lock to free a big guild, another
# thread sees the guild gone, files it anew and a message in it: the delete
# must not then remove that message.
DELETE_RACE = """
import sys, threading, tarnwick as T
from tarnwick_extras import cache, events
sys.setswitchinterval(0.0005)
kept = []
for attempt in range(3):
    cache.clear()
    g = T.full_guild(5, "g")
    for i in range(200_000): g.add_member(T.full_member(i))
    T.register_guild(g)
    for i in range(20_000): T.register_message(T.full_message(i + 1, 7, 1, "c", "t", guild_id=5))
    def refile():
        while T.get_guild(5) is not None:
            pass
        events.apply("GUILD_CREATE", {"id": "5", "name": "back"})
        events.apply("MESSAGE_CREATE", {"id": "999999999", "channel_id": "7", "guild_id": "5", "content": "c",
                                        "timestamp": "t", "author": {"id": "42", "username": "a"}})
    t = threading.Thread(target=refile)
    t.start()
    events.apply("GUILD_DELETE", {"id": "5"})
    t.join()
    kept.append(T.get_message(999999999) is not None)
print(repr(kept))
"""


def test_a_guild_filed_anew_during_its_delete_keeps_its_new_message():
    assert run_python_value(DELETE_RACE) == [True, True, True]
