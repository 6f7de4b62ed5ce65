"""Independent model of the blob format and the two packet readers.

Written from the format's description with struct and Python's own UTF-8
decoder; used as the oracle for the module's writer, readers and messages.
"""
import struct

SETUP_LABELS = ("public key", "packet", "mode")
ENCRYPTED_LABELS = ("public key", "private key", "packet", "mode")


def word(n: int) -> bytes:
    return struct.pack("<Q", n)


def field_bytes(value) -> bytes:
    """The bytes a package_blob argument contributes (its field body)."""
    if isinstance(value, str):
        return value.encode("utf-8")
    if isinstance(value, int):
        return word(value)
    return bytes(value)


def blob(*fields) -> bytes:
    body = b"".join(word(len(b)) + b for b in map(field_bytes, fields))
    return word(len(body)) + body


def utf8_detail(raw: bytes):
    """The first UTF-8 problem as the readers word it, from Python's decoder."""
    try:
        raw.decode("utf-8", "strict")
    except UnicodeDecodeError as e:
        if e.reason == "unexpected end of data":
            return f"incomplete utf-8 byte sequence from index {e.start}"
        return f"invalid utf-8 sequence of {e.end - e.start} bytes from index {e.start}"
    return None


class ParseError(Exception):
    pass


def read(data: bytes, labels):
    """The reader's algorithm step by step: a tuple of fields, or ParseError(message)."""
    n = len(data)
    if n < 8:
        raise ParseError("packet truncated while reading total length")
    (declared,) = struct.unpack_from("<Q", data, 0)
    if declared != n - 8:
        raise ParseError(f"declared payload length {declared} exceeds available bytes {n - 8}")
    pos = 8

    def length(label):
        nonlocal pos
        if n - pos < 8:
            raise ParseError(f"packet truncated while reading {label}")
        (v,) = struct.unpack_from("<Q", data, pos)
        pos += 8
        return v

    def take(size, label):
        nonlocal pos
        if size == 0:
            return b""
        if size > n or n - size < pos:
            raise ParseError(f"packet truncated while reading {label}")
        pos += size
        return data[pos - size:pos]

    fields = [take(length(label), label) for label in labels]
    d = length("identity length")
    ident = take(d, "identity value")
    if d != 8:
        raise ParseError(f"expected 8-byte identity field, found {d} bytes")
    detail = utf8_detail(fields[-1])
    if detail is not None:
        raise ParseError("utf-8 decoding failed: " + detail)
    return (*fields[:-1], fields[-1].decode("utf-8"), struct.unpack("<Q", ident)[0])
