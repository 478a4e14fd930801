#!/usr/bin/env python3
"""Reading and writing Config.bin, the participant's settings.

The file is one 184-byte record: little-endian signed 32-bit integers on 4-byte
boundaries, Booleans as one byte (true stored as 1, any other non-zero read as
true), texts as a length byte and a fixed room of Windows-1252 bytes, pad bytes
zero. A length byte above its room is read as the room, as the programs do.

As a program:

  config_record.py FILE                  prints the fields, one Name=value a line
  config_record.py FILE Name=value ...   sets those fields and keeps the others
                                         (a missing FILE starts with every field
                                         zero, false or empty)

Booleans are given and printed as 1 or 0 (true and false are taken too).
"""
import os
import struct
import sys

SIZE = 184

# name, offset, kind, room of a text
FIELDS = (
    ("UserName", 0, "text", 60),
    ("UserPassword", 61, "text", 60),
    ("StartAtStart", 122, "bool", None),
    ("CrawlWhenUse", 124, "int", None),
    ("CrawlWhenIdle", 128, "int", None),
    ("IdleTimeToChange", 132, "int", None),  # seconds
    ("MinimizeToStatusBar", 136, "bool", None),
    ("MaxCrawlers", 140, "int", None),
    ("CrawlerRestartTime", 144, "int", None),  # minutes, 0 = never
    ("DedicatedServer", 148, "bool", None),
    ("DedicatedServerName", 149, "text", 10),
    ("TeamName", 160, "text", 20),
)
NAMES = tuple(name for name, _, _, _ in FIELDS)

# Texts are str; a byte that Windows-1252 leaves undefined travels as a lone
# surrogate, so decode and encode give back the same bytes.
_CODEC = ("cp1252", "surrogateescape")


def empty():
    """Every field zero, false or empty."""
    return {name: ("" if kind == "text" else False if kind == "bool" else 0) for name, _, kind, _ in FIELDS}


def encode(values):
    """The 184 bytes of a record; fields not in values are zero, false or
    empty, texts are cut to their room."""
    unknown = set(values) - set(NAMES)
    if unknown:
        raise ValueError("no such field in Config.bin: %s" % ", ".join(sorted(unknown)))
    record = bytearray(SIZE)
    fields = dict(empty(), **values)
    for name, offset, kind, room in FIELDS:
        value = fields[name]
        if kind == "text":
            data = value.encode(*_CODEC)[:room]
            record[offset] = len(data)
            record[offset + 1:offset + 1 + len(data)] = data
        elif kind == "bool":
            record[offset] = 1 if value else 0
        else:
            struct.pack_into("<i", record, offset, value)
    return bytes(record)


def decode(data):
    """The fields of the first 184 bytes of data; ValueError when shorter."""
    if len(data) < SIZE:
        raise ValueError("%d bytes, shorter than a settings record (%d)" % (len(data), SIZE))
    values = {}
    for name, offset, kind, room in FIELDS:
        if kind == "text":
            length = min(data[offset], room)
            values[name] = bytes(data[offset + 1:offset + 1 + length]).decode(*_CODEC)
        elif kind == "bool":
            values[name] = data[offset] != 0
        else:
            values[name] = struct.unpack_from("<i", data, offset)[0]
    return values


def read(path):
    with open(path, "rb") as f:
        return decode(f.read())


def write(path, values):
    record = encode(values)  # before the file is truncated, so a bad value leaves it as it was
    with open(path, "wb") as f:
        f.write(record)


def update(path, **changes):
    """Sets the named fields of the file at path and keeps the others (all
    zero when there is no file yet); returns the fields written."""
    values = read(path) if os.path.exists(path) else empty()
    values.update(changes)
    write(path, values)
    return values


def _parse(kind, text):
    if kind == "text":
        return text
    if kind == "bool":
        lowered = text.lower()
        if lowered in ("1", "true"):
            return True
        if lowered in ("0", "false"):
            return False
        raise ValueError("not a Boolean: %r" % text)
    return int(text)


def _show(kind, value):
    if kind == "bool":
        return "1" if value else "0"
    return str(value)


def main(argv):
    if len(argv) < 2 or argv[1].startswith("-"):
        sys.stderr.write(__doc__)
        return 2
    path, assignments = argv[1], argv[2:]
    kinds = {name: kind for name, _, kind, _ in FIELDS}
    try:
        if not assignments:
            values = read(path)
            out = sys.stdout.buffer
            for name in NAMES:
                out.write(("%s=%s\n" % (name, _show(kinds[name], values[name]))).encode(*_CODEC))
            return 0
        changes = {}
        for assignment in assignments:
            name, sep, text = assignment.partition("=")
            if not sep or name not in kinds:
                raise ValueError("not a Name=value of a Config.bin field: %r" % assignment)
            changes[name] = _parse(kinds[name], text)
        update(path, **changes)
    except (OSError, ValueError, struct.error) as e:
        sys.stderr.write("config_record.py: %s: %s\n" % (path, e))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
