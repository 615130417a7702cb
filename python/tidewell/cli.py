"""The `tidewell` command: list, read, set, remove and call shared objects; clean up leftovers.

Exit status: 0 success, 1 not found or refused, 2 usage error.
"""

from __future__ import annotations

import argparse
import ast
import datetime
import json
import pwd
import os
import sys
import time
from collections.abc import Sequence
from typing import Any

import tidewell

from . import _segments
from ._segments import FUNCTION, OTHER, TEMPORARY, VALUE, WATCH, ObjectInfo

OK, FAILED, USAGE = 0, 1, 2


class Refused(Exception):
    """Ends the command with exit status 1 and this message."""


def _literal(text: str) -> Any:
    try:
        return ast.literal_eval(text)
    except (ValueError, SyntaxError, TypeError, MemoryError, RecursionError):
        raise argparse.ArgumentTypeError(
            f"not a Python literal: {text!r} (quote strings: \"'text'\")") from None


def _json_text(text: str) -> Any:
    try:
        return json.loads(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(f"not JSON: {text!r} ({e})") from None


def _show(value: Any, as_json: bool) -> str:
    if not as_json:
        return repr(value)
    try:
        return json.dumps(value)
    except (TypeError, ValueError):
        raise Refused(f"a value of type {type(value).__name__} cannot be shown as JSON "
                      "(leave out --json)") from None


def _entry(name: str) -> ObjectInfo:
    entry = _segments.describe(name)
    if entry is None:
        raise Refused(f"no shared object named {name!r}")
    return entry


def _expect(entry: ObjectInfo, kind: str) -> None:
    if entry.kind == kind:
        return
    what = {
        VALUE: "a value",
        FUNCTION: f"a function (server pid {entry.pid})",
        TEMPORARY: "an object being created (see `tidewell clean`)",
        WATCH: "a watch table",
        OTHER: "not a tidewell object",
    }[entry.kind]
    raise Refused(f"{entry.name!r} is {what}")


# --- printing names that anyone may have chosen --------------------------------------------

# Characters a shell treats specially, quoted as `ls` of coreutils quotes them; "#" and "~" only
# at the start of a name.
_SHELL_SPECIAL = frozenset(" !\"$&'()*;<=>?[\\]^`{|}")
_C_ESCAPES = {"\a": "\\a", "\b": "\\b", "\t": "\\t", "\n": "\\n", "\v": "\\v", "\f": "\\f",
              "\r": "\\r"}


def _printable(ch: str) -> bool:
    # Stricter than a terminal's idea of printable: format characters (bidirectional overrides,
    # zero-width spaces) and lone surrogates (bytes that are not UTF-8) are escaped too.
    return ch.isprintable()


def _octal(ch: str) -> str:
    try:
        raw = ch.encode("utf-8", "surrogateescape")
    except UnicodeEncodeError:
        raw = ch.encode("utf-8", "surrogatepass")
    return "".join(f"\\{b:03o}" for b in raw)


def shown(name: str) -> str:
    """`name` as `ls` shows it on a terminal (its shell-escape quoting): as it is when nothing
    in it is special; in single quotes when a shell would treat a character specially; with
    $'\\n' pieces for control and other unprintable characters. Nothing a name holds can move
    the cursor, retitle or clear the terminal, or start a new row; pasted into a shell, the
    result names the object again."""
    if not name:
        return "''"
    special = unprintable = False
    for i, ch in enumerate(name):
        if not _printable(ch):
            unprintable = True
        elif ch in _SHELL_SPECIAL or (i == 0 and ch in "#~"):
            special = True
    if not special and not unprintable:
        return name
    if not unprintable and "'" in name and not any(c in name for c in '"$`\\!'):
        return f'"{name}"'
    parts = ["'"]
    for ch in name:
        if not _printable(ch):
            parts.append(f"'$'{_C_ESCAPES.get(ch) or _octal(ch)}''")
        else:
            parts.append("'\\''" if ch == "'" else ch)
    parts.append("'")
    return "".join(parts)


def plain(text: str) -> str:
    """A message for the terminal: unprintable characters (of a name inside it) escaped."""
    if text.isprintable():
        return text
    return "".join(c if c.isprintable() else repr(c)[1:-1] for c in text)


def _mapping_keys(prefix: str) -> dict[str, str]:
    """The name of each key of tidewell.Mapping(prefix), and the key."""
    mapping = tidewell.Mapping(prefix)
    return {mapping._name(key): key for key in mapping}


# --- commands -----------------------------------------------------------------------------


def _user(uid: int | None) -> str:
    if uid is None:
        return "-"
    try:
        return pwd.getpwuid(uid).pw_name
    except KeyError:
        return str(uid)


def cmd_ls(args: argparse.Namespace) -> int:
    # Everything shown comes from the objects' headers: no value is decoded and no lock is
    # waited for, so a damaged, huge or locked value cannot stop the listing.
    status = OK
    if args.names:
        entries = []
        for name in args.names:
            entry = _segments.describe(name)
            if entry is None:
                print(f"tidewell ls: no shared object named {plain(repr(name))}", file=sys.stderr)
                status = FAILED
            else:
                entries.append(entry)
    else:
        entries = [e for e in _segments.scan() if (args.all or e.kind != OTHER) and not e.lane]
    if args.mapping is not None:
        keys = _mapping_keys(args.mapping)
        entries = [e for e in entries if e.name in keys]
    rows: list[dict[str, Any]] = []
    for e in entries:
        rows.append({
            "name": keys[e.name] if args.mapping is not None else e.name,
            "kind": e.kind,
            "size": e.size,
            "capacity": e.capacity,
            "busy": getattr(e, "busy", None),
            "torn": getattr(e, "torn", None),
            "modified": datetime.datetime.fromtimestamp(e.modified, datetime.timezone.utc)
            .isoformat(timespec="seconds"),
            "pid": e.pid,
            "servers": list(e.servers),
            "alive": e.alive,
            "owner": e.owner,
            "group": e.group,
            "mode": e.mode,
            "refused": e.refused(args.trust_uid, args.trust_gid),
        })
    if args.json:
        print(json.dumps(rows, indent=1))
        return status
    header = ["NAME", "KIND", "SIZE", "CAPACITY", "MODIFIED", "PID", "ALIVE", "OWNER", "MODE"]
    table = [header] + [
        [shown(r["name"]), r["kind"], str(r["size"]),
         "-" if r["capacity"] is None else str(r["capacity"]),
         r["modified"].replace("+00:00", "Z"),
         "-" if r["pid"] is None else ",".join(str(p) for p in [r["pid"], *r["servers"]]),
         "-" if r["alive"] is None else ("yes" if r["alive"] else "no"),
         plain(_user(r["owner"])), ("-" if r["mode"] is None else f"{r['mode']:04o}")
         + (" refused" if r["refused"] else "") + (" busy" if r["busy"] else "") + (" torn" if r["torn"] else "")]
        for r in rows
    ]
    widths = [max(len(row[i]) for row in table) for i in range(len(header))]
    for row in table:
        print("  ".join(cell.ljust(w) for cell, w in zip(row, widths)).rstrip())
    return status


def cmd_get(args: argparse.Namespace) -> int:
    _expect(_entry(args.name), VALUE)
    try:
        value = tidewell.read_memory(args.name)
    except MemoryError:
        raise  # gone, refused or a function meanwhile: reported as it is
    except Exception as e:
        # Whatever the decoder raises for bytes it cannot read back.
        raise Refused(f"{args.name!r} holds a damaged value ({type(e).__name__}: {e}); "
                      f"`tidewell set` or `tidewell rm` replaces it") from None
    print(_show(value, args.json))
    return OK


def cmd_watch(args: argparse.Namespace) -> int:
    _expect(_entry(args.name), VALUE)
    for value in tidewell.watch(args.name):
        print(_show(value, args.json), flush=True)
    return OK


def cmd_set(args: argparse.Namespace) -> int:
    entry = _segments.describe(args.name)
    if entry is not None:
        _expect(entry, VALUE)
    tidewell.write_memory(args.name, args.parsed)
    return OK


def cmd_rm(args: argparse.Namespace) -> int:
    status = OK
    for name in args.names:
        try:
            entry = _entry(name)
            if entry.kind == VALUE:
                tidewell.remove_memory(name, throw_error=True)
            elif entry.kind == FUNCTION:
                tidewell.remove_function(name)
            else:
                _expect(entry, VALUE)
        except (Refused, MemoryError) as e:
            print(f"tidewell rm: {plain(str(e))}", file=sys.stderr)
            status = FAILED
    return status


def cmd_call(args: argparse.Namespace) -> int:
    entry = _entry(args.name)
    _expect(entry, FUNCTION)
    if not entry.alive:
        raise Refused(f"the server of {args.name!r} (pid {entry.pid}) has ended")
    print(_show(tidewell.call_function(args.name, tuple(args.args)), args.json))
    return OK


def cmd_clean(args: argparse.Namespace) -> int:
    status = OK
    # With names, only those are looked at: nothing else in the directory is opened.
    if args.names:
        found = (_segments.describe(name) for name in dict.fromkeys(args.names))
        entries = [e for e in found if e is not None]
    else:
        entries = _segments.scan()
    for e in entries:
        if not e.stale:
            continue
        what = {FUNCTION: "function", WATCH: "watch table"}.get(e.kind, "temporary object")
        if e.kind == WATCH:
            reason = f"{what}, no watcher holds it"
        elif e.alive is False:
            reason = f"{what}, pid {e.pid} has ended"
        else:
            reason = f"{what}, unchanged for {(time.time() - e.modified) / 60:.0f} min"
        if args.dry_run:
            print(f"would remove {shown(e.name)} ({reason})")
            continue
        try:
            removed = _segments.unlink_if_unchanged(e)
        except OSError as err:
            print(f"tidewell clean: cannot remove {shown(e.name)}: {err.strerror}",
                  file=sys.stderr)
            status = FAILED
            continue
        if removed:
            print(f"removed {shown(e.name)} ({reason})")
    return status


# --- parser -------------------------------------------------------------------------------


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="tidewell",
        description="Inspect and change the values and functions that tidewell shares through "
                    "/dev/shm. Exit status: 0 success, 1 not found or refused, 2 usage error.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    p = sub.add_parser("ls", help="list shared objects",
                       description="List tidewell's objects: values, functions (with the "
                                   "server's pid and whether it runs) and temporary objects, "
                                   "from their headers (no value is decoded). CAPACITY is a "
                                   "value's room for encoded data, 'busy' marks a value whose "
                                   "lock is held, 'torn' one whose writer died mid-copy (an "
                                   "older version's writer: unreadable until written again). "
                                   "MODIFIED is when the object was created or "
                                   "last grew. Names are quoted and escaped as ls does. "
                                   "OWNER and MODE are the object's; 'refused' marks objects "
                                   "tidewell would not open here (another user's, unless "
                                   "trusted with --trust-uid/--trust-gid).")
    p.add_argument("names", nargs="*", metavar="NAME",
                   help="only these names (whatever they hold)")
    p.add_argument("--all", action="store_true", help="also list objects that are not tidewell's")
    p.add_argument("--mapping", metavar="PREFIX",
                   help="list only the keys of tidewell.Mapping(PREFIX), by key")
    p.add_argument("--json", action="store_true", help="print a JSON list")
    p.set_defaults(run=cmd_ls)
    parser.add_argument("--trust-uid", type=int, action="append", default=[], metavar="UID",
                        help="also open objects of this user (repeatable; see tidewell.trust)")
    parser.add_argument("--trust-gid", type=int, action="append", default=[], metavar="GID",
                        help="also open objects in this group (repeatable)")

    p = sub.add_parser("get", help="print a value", description="Print the value stored under NAME.")
    p.add_argument("name", metavar="NAME")
    p.add_argument("--json", action="store_true", help="print it as JSON (tuples become lists)")
    p.set_defaults(run=cmd_get)

    p = sub.add_parser("watch", help="print a value and each new one",
                       description="Print the value stored under NAME, then each new value "
                                   "written by any process, until Ctrl-C or until NAME is "
                                   "removed.")
    p.add_argument("name", metavar="NAME")
    p.add_argument("--json", action="store_true", help="print them as JSON (tuples become lists)")
    p.set_defaults(run=cmd_watch)

    p = sub.add_parser("set", help="store a value",
                       description="Store VALUE under NAME, creating it if needed. VALUE is a "
                                   "Python literal (strings need quotes: \"'text'\"), or JSON "
                                   "with --json.")
    p.add_argument("name", metavar="NAME")
    p.add_argument("value", metavar="VALUE")
    p.add_argument("--json", action="store_true", help="VALUE is JSON")
    p.set_defaults(run=cmd_set)

    p = sub.add_parser("rm", help="remove values or stop functions",
                       description="Remove the values NAME...; a function is stopped (its "
                                   "server prints 'read' and removes it).")
    p.add_argument("names", nargs="+", metavar="NAME")
    p.set_defaults(run=cmd_rm)

    p = sub.add_parser("call", help="call a shared function",
                       description="Call the function served under NAME with ARG... (Python "
                                   "literals) and print its result.")
    p.add_argument("name", metavar="NAME")
    p.add_argument("args", nargs="*", metavar="ARG", type=_literal)
    p.add_argument("--json", action="store_true", help="print the result as JSON")
    p.set_defaults(run=cmd_call)

    p = sub.add_parser("clean", help="remove what crashed programs left",
                       description="Remove functions whose server process has ended and "
                                   "temporary objects left by creators that are gone (unchanged "
                                   "for 5 s) or by anyone (unchanged for 10 min), and watch "
                                   "tables no watcher holds. Nothing else is touched.")
    p.add_argument("names", nargs="*", metavar="NAME", help="only look at these names")
    p.add_argument("--dry-run", action="store_true", help="only print what would be removed")
    p.set_defaults(run=cmd_clean)
    return parser


def _version() -> str:
    return tidewell.__version__


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.command == "set":
        # Parsed here rather than by argparse so that --json may follow VALUE.
        try:
            args.parsed = _json_text(args.value) if args.json else _literal(args.value)
        except argparse.ArgumentTypeError as e:
            parser.error(f"set: {e}")
    try:
        tidewell.trust(uids=args.trust_uid, gids=args.trust_gid)
        return int(args.run(args))
    except Refused as e:
        print(f"tidewell {args.command}: {plain(str(e))}", file=sys.stderr)
        return FAILED
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        # The reader went away (`tidewell ls | head`): stop quietly, as other tools do.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return OK
    except Exception as e:
        # A failed operation, or an object that is not what it claims to be: one line, not a
        # traceback.
        print(f"tidewell {args.command}: {type(e).__name__}: {plain(str(e))}", file=sys.stderr)
        return FAILED


if __name__ == "__main__":
    sys.exit(main())
