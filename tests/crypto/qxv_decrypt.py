#!/usr/bin/python3
"""Independent QXV reader, written from docs/qxv-format.md only.

Usage: qxv_decrypt.py FILE KEY_HEX [PLAINTEXT_LENGTH]

Writes the plaintext to standard output. Without PLAINTEXT_LENGTH the length is
recovered from the file size. Exit status: 0 success, 2 authentication failure,
1 any other problem (message on standard error).
"""
import struct
import sys

from cryptography.exceptions import InvalidTag
from cryptography.hazmat.primitives.ciphers.aead import AESGCM

HEADER_SIZE = 64
TAG_SIZE = 16


def fail(message, status=1):
    sys.stderr.write("qxv_decrypt: %s\n" % message)
    sys.exit(status)


def length_from_size(file_size, page_size):
    body = file_size - HEADER_SIZE
    if body < 0:
        fail("shorter than a header")
    full, rest = divmod(body, page_size + TAG_SIZE)
    if 0 < rest <= TAG_SIZE:
        fail("no complete file has this size")
    return full * page_size + (rest - TAG_SIZE if rest else 0)


def main(argv):
    if len(argv) not in (3, 4):
        fail(__doc__.strip().splitlines()[2])
    with open(argv[1], "rb") as f:
        data = f.read()
    if len(data) < HEADER_SIZE:
        fail("shorter than a header")
    magic = data[0:4]
    if magic not in (b"QXV1", b"QXA1"):
        fail("bad magic %r" % magic)
    (page_size,) = struct.unpack("<I", data[5:9])
    nonce_base = data[10:18]
    chunk_id = data[18:54].decode("utf-8").strip(" \t")
    if page_size == 0:
        fail("page size 0")
    total = int(argv[3]) if len(argv) == 4 else length_from_size(len(data), page_size)

    aead = AESGCM(bytes.fromhex(argv[2]))
    out = sys.stdout.buffer
    position = HEADER_SIZE
    index = 0
    remaining = total
    while remaining > 0:
        size = min(page_size, remaining)
        sealed = data[position:position + size + TAG_SIZE]
        if len(sealed) != size + TAG_SIZE:
            fail("page %d is cut short" % index)
        nonce = nonce_base + struct.pack("<I", index)
        aad = chunk_id.encode("utf-8") + struct.pack("<I", index)
        try:
            out.write(aead.decrypt(nonce, sealed, aad))  # sealed = ciphertext || tag
        except InvalidTag:
            fail("page %d does not authenticate" % index, 2)
        position += size + TAG_SIZE
        remaining -= size
        index += 1
    if position != len(data):
        fail("%d bytes after the last page" % (len(data) - position))
    out.flush()


if __name__ == "__main__":
    main(sys.argv)
