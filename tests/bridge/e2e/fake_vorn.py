"""Stands in for the `vorn` browser program that vorn-mcp starts.

Started through a small shell script `vorn` beside a copy of vorn-mcp
(`install_fake_vorn` in launch_support), which notes the signals ignored at
start and its own name before it runs this module. Every start writes a report of what it was given, as JSON, into the
directory named by FAKE_VORN_REPORTS: its process id and group, arguments,
working directory, environment (bytes shown as latin-1 text), where its
standard streams lead, and whether SIGPIPE is ignored. Then, by FAKE_VORN_MODE:

- "exit" (the default): it ends at once, a browser that never comes up;
- "browser": it waits for the file FAKE_VORN_GATE when that is set, then runs
  a FakeBrowser on the profile that holds `.parentlock`, writes a fresh
  `port.json` and answers requests until it is killed.
"""

import json
import os
import sys
import time


def report():
    env = {k.decode("latin-1"): v.decode("latin-1") for k, v in os.environb.items()}
    fds = {}
    for fd in (0, 1, 2):
        try:
            fds[str(fd)] = os.readlink("/proc/self/fd/%d" % fd)
        except OSError:
            fds[str(fd)] = None
    record = {
        "pid": os.getpid(),
        "pgid": os.getpgid(0),
        "args": sys.argv[1:],
        "cwd": os.getcwd(),
        "env": env,
        "fds": fds,
        # Python ignores SIGPIPE itself; the launcher script saw what vorn-mcp gave.
        "sigign": os.environ.get("FAKE_VORN_SIGIGN"),
        "argv0": os.environ.get("FAKE_VORN_ARGV0"),
    }
    directory = os.environ["FAKE_VORN_REPORTS"]
    path = os.path.join(directory, "launch-%d.json" % os.getpid())
    with open(path + ".tmp", "w") as out:
        json.dump(record, out)
    os.replace(path + ".tmp", path)


def main():
    report()
    if os.environ.get("FAKE_VORN_MODE", "exit") != "browser":
        return
    gate = os.environ.get("FAKE_VORN_GATE")
    if gate:
        deadline = time.monotonic() + 120
        while not os.path.exists(gate) and time.monotonic() < deadline:
            time.sleep(0.01)
    sys.path.insert(0, os.path.dirname(os.path.realpath(os.environ["FAKE_VORN_LIB"])))
    from fake_browser import FakeBrowser

    profile = sys.argv[sys.argv.index("--profile") + 1]
    browser = FakeBrowser(profile, write_port=False)
    browser.hold_parentlock()
    browser.write_port_file()
    while True:  # until the test kills it
        time.sleep(3600)


if __name__ == "__main__":
    main()
