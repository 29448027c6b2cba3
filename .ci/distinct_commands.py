#!/usr/bin/env python3
"""Writes a build's compile_commands.json with each file's compile commands
once per distinct preprocessing, for the static analysers, which otherwise go
through a file once per target that builds it.

A target's definitions apply to every file of the target: the service table
is built into some two hundred test plug-ins, each with its own fault macro
and its own <target>_EXPORTS, none of which the table's source reads. Such a
definition is dropped from the key when its name appears neither in the file
nor in any tracked header (names the system's headers read, NDEBUG and those
with a leading underscore, always count); commands that are then the same
(less their outputs) are kept once. The fault macros a corpus source reads keep each of
its builds apart, so every variant is still analysed.

A fuzzer compiles the library sources it drives once more, with its
instrumentation and its own folder first on the include path; those copies
are the library's own code, analysed in the library's target, and are left
out when that target is there.

    distinct_commands.py BUILD_DIR OUT_DIR
"""
import json
import pathlib
import re
import shlex
import subprocess
import sys

build_dir, out_dir = map(pathlib.Path, sys.argv[1:3])
entries = json.loads((build_dir / "compile_commands.json").read_text())
tracked = subprocess.run(["git", "ls-files", "*.h", "*.hpp", "*.list", "*.inc"], check=True,
                         capture_output=True, text=True).stdout.split()
headers = "\n".join(pathlib.Path(path).read_text(errors="replace") for path in tracked)
word = re.compile(r"\w+")
header_words = set(word.findall(headers))
file_words = {}


def key(entry):
    source = entry["file"]
    if source not in file_words:
        file_words[source] = set(word.findall(pathlib.Path(source).read_text(errors="replace")))
    known = file_words[source] | header_words
    args = entry.get("arguments") or shlex.split(entry["command"])
    kept = []
    skip = False
    for i, arg in enumerate(args):
        if skip:
            skip = False
            continue
        if arg in ("-o", "-MF", "-MT", "-MQ"):
            skip = True
            continue
        definition = arg[2:] if arg.startswith("-D") else None
        if arg == "-D" and i + 1 < len(args):
            definition, skip = args[i + 1], True
        if definition is not None:
            name = definition.split("=", 1)[0]
            if name not in known and name != "NDEBUG" and not name.startswith("_"):
                continue
            kept.append("-D" + definition)
            continue
        kept.append(arg)
    return source, tuple(kept)


def output(entry):
    args = entry.get("arguments") or shlex.split(entry["command"])
    return args[args.index("-o") + 1] if "-o" in args else entry.get("output", "")


def fuzzer_copy(entry):
    return output(entry).startswith("fuzz/") and "/fuzz/" not in entry["file"]


built_outside_fuzzers = {entry["file"] for entry in entries if not fuzzer_copy(entry)}
seen = set()
distinct = []
for entry in entries:
    if fuzzer_copy(entry) and entry["file"] in built_outside_fuzzers:
        continue
    k = key(entry)
    if k not in seen:
        seen.add(k)
        distinct.append(entry)
out_dir.mkdir(parents=True, exist_ok=True)
(out_dir / "compile_commands.json").write_text(json.dumps(distinct, indent=1))
print(f"{len(distinct)} distinct compile commands of {len(entries)}")
