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
from tarnwick_extras import cache
from tarnwick_extras._sibling import load_sibling
hooks = load_sibling("_tarnwick_hooks")
T = tarnwick

def users(n, base=0):
    for i in range(n): T.register_user(T.full_user(base + i, "u"))

def big_guild(gid, n):
    g = T.full_guild(gid, "g")
    for i in range(n): g.add_member(T.full_member(i, nick="a nick"))
    T.register_guild(g)

def messages(n, channel=7):
    for i in range(n): T.register_message(T.full_message(i + 1, channel, 1, "c", "t", guild_id=5))

CASES = {
    "prune_users": (lambda: users(300_000), lambda: cache.prune_users()),
    "remove_guild": (lambda: big_guild(5, 200_000), lambda: cache.remove_guild(5)),
    "set_message_limit": (lambda: (cache.set_message_limit(None), messages(300_000)),
                          lambda: cache.set_message_limit(10)),
    "remove_channel_messages": (lambda: (cache.set_message_limit(None), messages(300_000)),
                                lambda: cache.remove_channel_messages(7)),
    "user_ids": (lambda: users(300_000), lambda: [cache.user_ids() for _ in range(20)]),
    "find_members": (lambda: big_guild(5, 200_000), lambda: cache.find_members(5, "x")),
    "clear": (lambda: users(300_000, 10**6), lambda: cache.clear()),
}
seen = {}
for name, (setup, call) in CASES.items():
    for attempt in range(5):
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
    assert run_python_value(WATCH) == {"prune_users": 1, "remove_guild": 1, "set_message_limit": 1,
                                       "remove_channel_messages": 1, "user_ids": 1, "find_members": 1,
                                       "clear": 1}


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
