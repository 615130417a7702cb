"""The types tidewell can store, as one alias for annotations."""
import datetime
import decimal
import pathlib
import types
import uuid
from collections import ChainMap, deque
from typing import Any, TypeAlias, Union

# Containers are listed with items of any type: list, dict and set are invariant, so a
# recursive alias would refuse a perfectly good list[int]. Counter and OrderedDict are dicts,
# namedtuples are tuples.
Value: TypeAlias = Union[
    None,
    bool,
    int,
    float,
    complex,
    str,
    bytes,
    bytearray,
    memoryview,
    range,
    types.EllipsisType,
    datetime.datetime,
    datetime.date,
    datetime.time,
    datetime.timedelta,
    uuid.UUID,
    decimal.Decimal,
    pathlib.PurePath,
    list[Any],
    tuple[Any, ...],
    set[Any],
    frozenset[Any],
    dict[Any, Any],
    deque[Any],
    ChainMap[Any, Any],
]
"""Any value that ``write_memory``, ``call_function`` and ``dumps`` accept."""
