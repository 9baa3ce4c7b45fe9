#!/usr/bin/env python3
"""ondavipci.exe's property text on a real console, under Wine.

  console_e2e.py --prefix DIR --exe EXE --raw-helper EXE

Plants a vendor device whose description, "Téléphone Ondavi ™", holds bytes
of the ANSI code page beyond ASCII, and runs the exe and Wine's own reg.exe
(reading the same description) on a pseudo-terminal made by script(1),
under the C locale and under C.UTF-8. What the terminal receives for the
description must be the same bytes from both programs: the program shows
the text as the system's console tools show it. With standard output a
pipe, the exe must still write the description's own ANSI bytes. Uses a
prefix made by wine_e2e.py prefix.
"""
import argparse
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import wine_e2e  # noqa: E402

DESCRIPTION = "Téléphone Ondavi ™".encode("cp1252")
MACHINE = {"devices": [{
    "hardware_ids": ["PCI\\VEN_7F3C&DEV_0001&SUBSYS_00017F3C&REV_01", "PCI\\VEN_7F3C&DEV_0001"],
    "description": {"hex": (DESCRIPTION + b"\0").hex()},
    "driver": "{4d36e96c-e325-11ce-bfc1-08002be10318}\\0007",
}]}
# Wine's console draws on a terminal with escape sequences, and moves the
# cursor over each space rather than writing one.
ESCAPE = re.compile(rb"\x1b\[[?0-9;]*[A-Za-z]")


def on_terminal(prefix, command, lang):
    env = wine_e2e.wine_env(prefix)
    env.pop("LC_ALL", None)
    env.pop("LANG", None)
    if lang:
        env["LANG"] = lang
    line = " ".join("'" + part.replace("'", "'\\''") + "'" for part in [wine_e2e.WINE, *command])
    result = subprocess.run(["script", "-q", "-e", "-c", line, "/dev/null"], env=env, stdin=subprocess.DEVNULL,
                            capture_output=True, timeout=120)
    wine_e2e.record(["script", line], result.returncode, result.stdout, result.stderr)
    return ESCAPE.sub(b"", result.stdout).replace(b" ", b"")


def shown_after(output, marker):
    found = re.search(re.escape(marker) + rb"(.*?)\r", output)
    return found.group(1) if found else None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--prefix", required=True)
    parser.add_argument("--exe", required=True)
    parser.add_argument("--raw-helper", required=True)
    options = parser.parse_args()

    wine_e2e.reset_registry(options.prefix)
    wine_e2e.plant(options.prefix, MACHINE, options.raw_helper)
    failures = []
    for lang in (None, "C.UTF-8"):
        label = f"LANG={lang or '(unset)'}"
        program = shown_after(on_terminal(options.prefix, [options.exe], lang), b"Device:")
        tool = shown_after(on_terminal(options.prefix, ["reg", "query", "HKLM\\" + wine_e2e.device_key(0),
                                                        "/v", "DeviceDesc"], lang), b"REG_SZ")
        print(f"{label}: ondavipci.exe shows {program!r}, reg.exe shows {tool!r}")
        if program is None or tool is None or program != tool:
            failures.append(f"{label}: on a terminal the description differs from reg.exe's")

    piped = shown_after(wine_e2e.wine(options.prefix, options.exe).stdout, b"Device: ")
    print(f"to a pipe: {piped!r}")
    if piped != DESCRIPTION:
        failures.append(f"to a pipe the description is not its ANSI bytes {DESCRIPTION!r}")
    wine_e2e.stop_server(options.prefix)
    for failure in failures:
        print("FAIL:", failure)
    if failures:
        print("\n".join(["the commands run:"] + wine_e2e.HISTORY))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
