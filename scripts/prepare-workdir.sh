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
# Safeguard: private work directory. What this makes is the participant's alone (folders 0700, files
# 0600), whatever the caller's umask: Config.bin will hold the account's
# password, and others must not take the lock file. What is there keeps its mode.
umask 077
mkdir -p "$dir/sqtemp" "$dir/tmp"
[ -e "$dir/CrawlerLockFile.lock" ] || : > "$dir/CrawlerLockFile.lock"
if [ ! -e "$dir/Config.bin" ]; then
  # No account yet: the participant sets it in the monitor's options.
  python3 "$(dirname "$0")/records/config_record.py" "$dir/Config.bin" \
    CrawlWhenUse=2 CrawlWhenIdle=10 IdleTimeToChange=300 MinimizeToStatusBar=1 MaxCrawlers=20
fi
echo "Prepared $dir"
