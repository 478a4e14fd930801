#!/usr/bin/env python3
"""The README's "Safeguards" lines and the code's `Safeguard: <name>.` comments
name the same behaviours: every line has its place in the code, and every
such comment has its line, so one search leads either way."""

import os
import re
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
CODE_DIRS = ["common", "toolkit", "crawler", "monitor", "platform", "scripts"]


def readme_names(text):
    section = re.search(r"^## Safeguards\n(.*?)(?=^## )", text, re.M | re.S)
    if section is None:
        raise SystemExit("README.md has no Safeguards section")
    return re.findall(r"^- `([^`]+)`:", section.group(1), re.M)


def code_names():
    out = subprocess.run(["grep", "-rhoE", r"Safeguard: [^.]+\."] + CODE_DIRS, cwd=ROOT,
                         capture_output=True, text=True, check=False).stdout
    return {line[len("Safeguard: "):-1] for line in out.splitlines() if line}


def main():
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
        listed = readme_names(f.read())
    found = code_names()
    faults = []
    twice = sorted({n for n in listed if listed.count(n) > 1})
    if twice:
        faults.append("listed twice in the README: " + ", ".join(twice))
    missing = [n for n in listed if n not in found]
    if missing:
        faults.append("no 'Safeguard: <name>.' comment in the code for: " + ", ".join(missing))
    unlisted = sorted(found - set(listed))
    if unlisted:
        faults.append("comments whose name has no README line: " + ", ".join(unlisted))
    for fault in faults:
        print(fault)
    print(f"{len(listed)} safeguards listed, {len(found)} named in the code")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
