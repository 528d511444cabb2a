"""Calls mypy --strict must refuse: make install-test checks that it reports
exactly the errors marked here, at these lines, and nothing else."""

import tarnwick_extras.cache as imported_cache
from tarnwick_extras import cache

cache.put_member(1, "not a member")  # refused: Argument 2 to "put_member" has incompatible type "str"; expected "full_member"  [arg-type]
imported_cache.put_member(1, "not a member")  # refused: Argument 2 to "put_member" has incompatible type "str"; expected "full_member"  [arg-type]
cache.stats()["user"]  # refused: TypedDict "_Stats" has no key "user"  [typeddict-item]
