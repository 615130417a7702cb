"""Writes the seed corpus (fuzz/seeds/TARGET/) from the values and byte strings of the tests.

    python fuzz/make_seeds.py      # needs the module and pytest installed
"""
import hashlib
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

from codec_access import encode  # noqa: E402
from test_codec_legacy import VECTORS  # noqa: E402
from test_codec_library import MIXED  # noqa: E402
from test_codec_malformed import sample_values  # noqa: E402


def write(target, data):
    folder = os.path.join(HERE, "seeds", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, hashlib.sha1(data).hexdigest()[:16]), "wb") as out:
        out.write(data)


def main():
    encoded = [encode(value)[1:] for value in sample_values() + MIXED]
    for data in encoded:
        write("prot2", data)
        # segment inputs: preallocation, capacity mode and length bytes, then a stored value
        write("segment", b"\x00\x01\x01\x00\x10" + b"\xfd" + data)
    for hextext, _ in VECTORS:
        write("prot1", bytes.fromhex(hextext))


if __name__ == "__main__":
    main()
