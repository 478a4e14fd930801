#!/usr/bin/env bash
# Prepares a work directory for a new participant: a default Config.bin, an
# empty CrawlerLockFile.lock and the folders sqtemp and tmp, none of which the
# programs create themselves. Files already there are kept, so running it
# again on a participant's directory changes nothing they set.
#
#   scripts/prepare-workdir.sh <dir>
set -euo pipefail
if [ $# -ne 1 ]; then
  echo "usage: $0 <dir>" >&2
  exit 2
fi
dir=$1
# Safeguard: what this makes is the participant's alone (folders 0700, files
# 0600), whatever the caller's umask: Config.bin will hold the account's
# password, and others must not take the lock file. What is there keeps its mode.
umask 077
mkdir -p "$dir/sqtemp" "$dir/tmp"
[ -e "$dir/CrawlerLockFile.lock" ] || : > "$dir/CrawlerLockFile.lock"
if [ ! -e "$dir/Config.bin" ]; then
  python3 - "$dir/Config.bin" <<'PY'
import struct, sys

def short_string(text, room):
    data = text.encode("cp1252")[:room]
    return bytes([len(data)]) + data.ljust(room, b"\0")

# The 184-byte settings record: little-endian, 32-bit fields on 4-byte
# boundaries, zero pad bytes at 123, 137-139 and 181-183. The account fields
# stay empty until the participant sets them in the monitor's options.
record = b"".join([
    short_string("", 60),                 # 0 UserName
    short_string("", 60),                 # 61 UserPassword
    bytes([0, 0]),                        # 122 StartAtStart, pad
    struct.pack("<iii", 2, 10, 300),      # 124 CrawlWhenUse, CrawlWhenIdle, IdleTimeToChange (s)
    bytes([1, 0, 0, 0]),                  # 136 MinimizeToStatusBar, pad
    struct.pack("<ii", 20, 0),            # 140 MaxCrawlers, CrawlerRestartTime (min, 0 = never)
    bytes([0]),                           # 148 DedicatedServer
    short_string("", 10),                 # 149 DedicatedServerName
    short_string("", 20),                 # 160 TeamName
    bytes(3),                             # 181 pad
])
assert len(record) == 184
with open(sys.argv[1], "wb") as f:
    f.write(record)
PY
fi
echo "Prepared $dir"
