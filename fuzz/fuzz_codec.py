"""Coverage-guided fuzzing of tidewell's decoders and of read_memory over a damaged value segment.

    python fuzz/fuzz_codec.py TARGET [libFuzzer options] [corpus directories]

TARGET is one of:
  prot2    protocol 2 decoding (the input follows the 0xFD marker); a decoded value is
           encoded again
  prot1    protocol 1 decoding (the input follows the 0xFE marker)
  segment  read_memory over a value segment whose capacity field, data area and size come
           from the input
Build and run it with fuzz/build.sh and fuzz/run.sh (docs/DEVELOPING.md, "Fuzzing"). Any
exception the codec documents is an expected outcome; a crash, a sanitizer report, a SystemError
(a result returned with an exception set, or NULL without one) or a hang fails the run.
"""
import itertools
import os
import sys

import atheris

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
import tidewell  # noqa: E402
from codec_access import decode, decode_prot1, encode  # noqa: E402

# The outcomes a damaged input may have: ValueError (UnicodeDecodeError included; a library
# class's or an unhashable key's own error is its __cause__), MemoryError and RecursionError when
# memory or the stack runs out, and for read_memory the MemoryError of a damaged segment. Any
# other type is a finding, like a crash.
DECODE_EXPECTED = (ValueError, MemoryError, RecursionError)
# Encoding a decoded value again may be refused as any encoding is (ValueError, RuntimeError).
ENCODE_EXPECTED = (ValueError, RuntimeError, MemoryError)


def expected(exc, kinds=DECODE_EXPECTED):
    return isinstance(exc, kinds) and not isinstance(exc, SystemError)


def check_decode(decoder, data):
    try:
        value = decoder(data)
    except Exception as exc:  # noqa: BLE001 - sorted by expected() below
        if not expected(exc):
            raise
        return
    # Whatever decodes must be encodable again or refused cleanly.
    try:
        encode(value)
    except Exception as exc:  # noqa: BLE001
        if not expected(exc, ENCODE_EXPECTED):
            raise


def fuzz_prot2(data):
    check_decode(decode, b"\xfd" + data)


def fuzz_prot1(data):
    check_decode(decode_prot1, b"\xfe" + data)


HEADER_SIZE = 48  # capacity field (8 bytes), then the process-shared mutex
CAPACITY_EDGES = [0, 1, 2**63 - 1, 2**64 - 1, 2**64 - 16, 2**64 - 48, 2**64 - 80, 2**32]
names = (f"tw-fuzz-{os.getpid()}-{i}" for i in itertools.count())


def fuzz_segment(data):
    """A value segment made by create_memory, then damaged: its capacity field (edge values, or
    relative to the object's size, or any 64-bit number), its data area and its length. The
    mutex is left as create_memory made it: a garbage lock word is a wait, not a decoding fault.
    """
    fdp = atheris.FuzzedDataProvider(data)
    prealloc = fdp.ConsumeIntInRange(0, 4096)
    mode = fdp.ConsumeIntInRange(0, 3)
    length = HEADER_SIZE + fdp.ConsumeIntInRange(0, 8192)
    if mode == 0:
        capacity = fdp.PickValueInList(CAPACITY_EDGES)
    elif mode == 1:
        capacity = max(0, length - HEADER_SIZE + fdp.ConsumeIntInRange(-8, 8))
    else:
        capacity = fdp.ConsumeIntInRange(0, 2**64 - 1)
    truncate = mode != 3
    body = fdp.ConsumeBytes(fdp.remaining_bytes())
    name = next(names)
    path = "/dev/shm/" + name
    tidewell.create_memory(name, prealloc_size=prealloc)
    try:
        with open(path, "r+b") as segment:
            segment.write(capacity.to_bytes(8, "little"))
            segment.seek(HEADER_SIZE)
            segment.write(body)
            if truncate:
                segment.truncate(length)
        try:
            tidewell.read_memory(name)
        except Exception as exc:  # noqa: BLE001
            if not expected(exc):
                raise
    finally:
        try:
            os.unlink(path)
        except FileNotFoundError:
            pass


def remove_leftovers():
    """A run that crashed could not remove its segment: remove those of processes that are gone."""
    for entry in os.listdir("/dev/shm"):
        parts = entry.split("-")
        if entry.startswith("tw-fuzz-") and len(parts) == 4 and parts[2].isdigit():
            try:
                os.kill(int(parts[2]), 0)
            except ProcessLookupError:
                try:
                    os.unlink("/dev/shm/" + entry)
                except FileNotFoundError:
                    pass
            except PermissionError:
                pass


TARGETS = {"prot2": fuzz_prot2, "prot1": fuzz_prot1, "segment": fuzz_segment}


def main():
    if len(sys.argv) < 2 or sys.argv[1] not in TARGETS:
        sys.exit(f"usage: {sys.argv[0]} {{{','.join(TARGETS)}}} [libFuzzer options] [corpus]")
    target = TARGETS[sys.argv.pop(1)]
    if target is fuzz_segment:
        remove_leftovers()
    atheris.Setup(sys.argv, target)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
