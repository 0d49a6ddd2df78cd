#!/usr/bin/env python3
"""Holds what a program did (an strace -f log) against the sandbox of its systemd unit.

    check_unit_sandbox.py UNIT STRACE_LOG PROGRAM

Where systemd does not run, the unit's system call filter and address family list are never put
in force; this checks instead that every system call the program made in the log is one the
unit's SystemCallFilter= lets through, and that every socket it opened is of a family that
RestrictAddressFamilies= allows. Only what follows PROGRAM's execve counts (what ran before it, such
as the setpriv that set up its user, is systemd's part under a unit). The groups (@system-service, ...) are expanded by the installed
systemd-analyze, so the check is that of the systemd the package is installed with.

A call the filter refuses is answered with SystemCallErrorNumber= (EPERM) instead of killing the
program; the calls listed in TOLERATED are known to be refused on purpose and handled.
"""
import re
import subprocess
import sys

# setpriority: the framework raises its listener thread's priority where it may and runs it at
# normal priority where it may not (an unprivileged user may not either); the unit refuses it
# with the other @resources calls.
TOLERATED = {"setpriority"}


def expand(group, cache={}):
    if group not in cache:
        out = subprocess.run(["systemd-analyze", "syscall-filter", group], capture_output=True,
                             text=True, check=True).stdout
        names = set()
        for line in out.splitlines()[1:]:
            item = line.strip()
            if not item or item.startswith("#"):
                continue
            names |= expand(item) if item.startswith("@") else {item}
        cache[group] = names
    return cache[group]


def unit_settings(path, key):
    values = []
    for line in open(path):
        line = line.strip()
        if line.startswith(key + "="):
            values.append(line[len(key) + 1:])
    return values


def main(unit, log, program):
    allowed = None
    for value in unit_settings(unit, "SystemCallFilter"):
        deny = value.startswith("~")
        names = set()
        for item in value.lstrip("~").split():
            names |= expand(item) if item.startswith("@") else {item}
        if deny:
            allowed = (allowed if allowed is not None else set()) - names
        else:
            allowed = (allowed or set()) | names
    families = set()
    for value in unit_settings(unit, "RestrictAddressFamilies"):
        families |= set(value.split())
    text = open(log).read()
    start = re.search(r'^\d+ +execve\("' + re.escape(program) + r'".* = 0$', text, re.M)
    if not start:
        print(f"check_unit_sandbox: {program} was never started in {log}", file=sys.stderr)
        sys.exit(1)
    text = text[start.start():]
    used = set(re.findall(r"^\d+ +([a-z_0-9]+)\(", text, re.M))
    opened = set(re.findall(r"^\d+ +socket\((AF_[A-Z0-9]+)", text, re.M))
    failures = []
    if allowed is not None:
        refused = used - allowed
        if refused - TOLERATED:
            failures.append(f"system calls the unit's filter refuses: {sorted(refused - TOLERATED)}")
        print(f"system calls made: {len(used)}, all let through by SystemCallFilter= "
              f"except the tolerated {sorted(refused & TOLERATED) or 'none'}" if not failures else "")
    if families and opened - families:
        failures.append(f"sockets of families the unit does not allow: {sorted(opened - families)}")
    print(f"socket families opened: {sorted(opened)}; allowed: {sorted(families)}")
    if failures:
        for failure in failures:
            print(f"check_unit_sandbox: {failure}", file=sys.stderr)
        sys.exit(1)


if __name__ == "__main__":
    main(*sys.argv[1:])
