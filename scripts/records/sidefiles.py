"""Reading what the crawler queues and what a storage server receives.

A side-file queue file is entries back to back. An entry is a 258-byte text
head (page type 10, document id 10, status 3, URL 200, peer address 15, page
size 10, thumbnail size 10, each blank-padded), then the compressed page and
the thumbnail. An upload to a storage server is an 81-character header (its
first 8 characters the upload's total size, header included; command at 10,
10 wide) followed by queue-file bytes.
"""
import glob
import os
import re
import zlib

HEAD = 258
UPLOAD_HEADER = 81

# The crawler's own statuses (an entry's "status") for a page that got no
# HTTP answer; any other status is the web server's.
STATUS_SOCKET_ERROR = "601"
STATUS_CONNECT_REFUSED = "602"
STATUS_CONNECTION_CLOSED = "603"
STATUS_READ_TIMEOUT = "604"  # the read time-out, or the page's deadline
STATUS_OTHER_FAILURE = "605"


def _field(head, start, width):
    return head[start:start + width].decode("latin-1").rstrip(" ")


def _size(head, start):
    text = _field(head, start, 10)
    return int(text) if text.isdigit() else None


def encode_entry(page_type, docid, status, url, peer, body, thumbnail=b""):
    """An entry as the crawler writes it (texts cut to their widths)."""
    head = "%-10.10s%-10.10s%-3.3s%-200.200s%-15.15s%-10d%-10d" % (
        page_type, docid, status, url, peer, len(body), len(thumbnail))
    return head.encode("latin-1") + body + thumbnail


def decode_entries(data):
    """(entries, whole_size): the whole entries at the start of data as dicts,
    and how many bytes they span. Stops at a bad or partial entry."""
    out = []
    pos = 0
    while len(data) - pos >= HEAD:
        head = data[pos:pos + HEAD]
        html_size = _size(head, 238)
        thumb_size = _size(head, 248)
        if html_size is None or thumb_size is None or pos + HEAD + html_size + thumb_size > len(data):
            break
        body = data[pos + HEAD:pos + HEAD + html_size]
        out.append({
            "type": _field(head, 0, 10),
            "docid": _field(head, 10, 10),
            "status": _field(head, 20, 3),
            "url": _field(head, 23, 200),
            "peer": _field(head, 223, 15),
            "page_bytes": html_size,
            "thumbnail": data[pos + HEAD + html_size:pos + HEAD + html_size + thumb_size],
            "body": body,
        })
        pos += HEAD + html_size + thumb_size
    return out, pos


def page_text(entry):
    """The page as fetched, or None when its stream does not decompress."""
    if not entry["body"]:
        return b""
    try:
        return zlib.decompress(entry["body"])
    except zlib.error:
        return None


def read(path):
    with open(path, "rb") as f:
        return f.read()


def queue_files(work):
    """{file name: (entries, trailing bytes that are no whole entry)} of sqtemp,
    without the kept files ("<address>_kept<n>": bytes the crawler moved out
    of its queue, never sent)."""
    found = {}
    for path in sorted(glob.glob(os.path.join(work, "sqtemp", "*"))):
        if re.search(r"_kept[0-9]+$", path):
            continue
        if os.path.isfile(path):
            data = read(path)
            entries, whole = decode_entries(data)
            found[os.path.basename(path)] = (entries, len(data) - whole)
    return found


def uploads(directory):
    """What a stand-in storage server recorded in directory, in order of
    arrival: dicts with the header's fields, the entries, and whether the
    upload is complete (as long as its header says)."""
    out = []
    for path in sorted(glob.glob(os.path.join(directory, "*.bin")), key=_arrival):
        data = read(path)
        header = data[:UPLOAD_HEADER].decode("latin-1")
        total = header[:8].strip()
        entries, whole = decode_entries(data[UPLOAD_HEADER:])
        out.append({
            "file": os.path.basename(path),
            "command": header[10:20].strip(),
            "total": int(total) if total.isdigit() else None,
            "complete": total.isdigit() and int(total) == len(data) and whole == len(data) - UPLOAD_HEADER,
            "entries": entries,
        })
    return out


def _arrival(path):
    # <local address>-<sequence>.bin
    name = os.path.basename(path)[:-4]
    address, _, sequence = name.rpartition("-")
    return (int(sequence) if sequence.isdigit() else 0, address)
