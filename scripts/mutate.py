#!/usr/bin/env python3
"""Mutation pass: which small changes to a source file does no test notice?

Applies one small change at a time to the chosen lines of one source file, rebuilds only the
given test target in an existing CMake build (ccache makes the unchanged parts cheap), runs that
test binary with a time-out, and restores the file before the next change. Prints every change
that no test noticed (a survivor) and a summary line:

    mutants N, killed K, survived S

N counts the changes that built; changes that do not build are listed apart and count neither
way. The source file is always restored, also on an error or Ctrl-C.

Kinds of change (--kinds, comma-separated, all by default):
  rel   a relational operator flipped: < <=, > >=, == !=
  int   an integer literal plus or minus one
  text  one character of a quoted text changed
  swap  one field of a table row ("{a, b, c}," on one line) swapped with the same field of the
        next row

Example, the DC unit's model rule table against its unit tests:
  scripts/mutate.py units/dc/k426b_dc.cpp --lines 13-31 --target dc_unit_test \\
      --test build/default/tests/units/dc/dc_unit_test --kinds swap,int

Slow by nature and not part of CI: restrict it to the lines that matter.
"""

import argparse
import re
import signal
import subprocess
import sys
import time
from pathlib import Path

RELATIONAL = {"<=": "<", ">=": ">", "==": "!=", "!=": "==", " < ": " <= ", " > ": " >= "}
INTEGER = re.compile(r"(?<![\w.])(0[xX][0-9A-Fa-f]+|\d+)(?![\w.])")
STRING = re.compile(r'"((?:[^"\\]|\\.)*)"')
ROW = re.compile(r"^(\s*)\{(.*)\}(,?\s*(?://.*)?)$")


def parse_ranges(texts):
    ranges = []
    for text in texts:
        first, _, last = text.partition("-")
        ranges.append((int(first), int(last or first)))
    return ranges


def outside_strings(line):
    """Spans of `line` that lie outside string and character literals and comments."""
    spans, start, index, quote = [], 0, 0, None
    while index < len(line):
        char = line[index]
        if quote:
            if char == "\\":
                index += 1
            elif char == quote:
                quote, start = None, index + 1
        elif char in "\"'":
            spans.append((start, index))
            quote = char
        elif line.startswith("//", index):
            spans.append((start, index))
            return spans
        index += 1
    if not quote:
        spans.append((start, len(line)))
    return spans


def split_fields(body):
    """Top-level comma-separated fields of a brace row, outside strings and nested brackets."""
    fields, depth, quote, current = [], 0, None, ""
    index = 0
    while index < len(body):
        char = body[index]
        current += char
        if quote:
            if char == "\\" and index + 1 < len(body):
                current += body[index + 1]
                index += 1
            elif char == quote:
                quote = None
        elif char in "\"'":
            quote = char
        elif char in "({[":
            depth += 1
        elif char in ")}]":
            depth -= 1
        elif char == "," and depth == 0:
            fields.append(current[:-1])
            current = ""
        index += 1
    fields.append(current)
    return fields


def line_mutants(line, kinds):
    """(description, new line) for each single change of `line` of the given kinds."""
    stripped = line.lstrip()
    if stripped.startswith("#") or stripped.startswith("//"):
        return
    code_spans = outside_strings(line)
    for begin, end in code_spans:
        segment = line[begin:end]
        if "rel" in kinds:
            for old, new in RELATIONAL.items():
                for match in re.finditer(re.escape(old), segment):
                    at = begin + match.start()
                    # << >> -> and the like are not relational operators.
                    if old in ("<=", ">=") and line[at - 1:at] in "<>":
                        continue
                    if old in ("<=", ">=") and line[at + 2:at + 3] in "<>=":
                        continue
                    yield f"'{old.strip()}' -> '{new.strip()}'", line[:at] + new + line[at + len(old):]
        if "int" in kinds:
            for match in INTEGER.finditer(segment):
                text = match.group(1)
                value = int(text, 0)
                at = begin + match.start()
                for delta in (1, -1):
                    if value + delta < 0:
                        continue
                    new = hex(value + delta) if text.lower().startswith("0x") else str(value + delta)
                    yield f"{text} -> {new}", line[:at] + new + line[at + len(text):]
    if "text" in kinds:
        for match in STRING.finditer(line):
            content = match.group(1)
            if not content or not any(begin <= match.start() <= end for begin, end in code_spans):
                continue
            position = len(content) // 2
            if content[position] == "\\":
                position = 0 if position > 0 and content[0] != "\\" else position + 1
                if position >= len(content) or content[position - 1:position] == "\\":
                    continue
            replacement = "#" if content[position] != "#" else "@"
            changed = content[:position] + replacement + content[position + 1:]
            at = match.start(1)
            yield (f'text "{content}" -> "{changed}"',
                   line[:at] + changed + line[at + len(content):])


def swap_mutants(lines, number):
    """Swaps of one field between row `number` and the row after it."""
    first, second = ROW.match(lines[number - 1]), ROW.match(lines[number])
    if not first or not second:
        return
    fields_a, fields_b = split_fields(first.group(2)), split_fields(second.group(2))
    if len(fields_a) != len(fields_b) or len(fields_a) < 2:
        return
    for index, (a, b) in enumerate(zip(fields_a, fields_b)):
        if a.strip() == b.strip():
            continue
        new_a = fields_a[:index] + [b] + fields_a[index + 1:]
        new_b = fields_b[:index] + [a] + fields_b[index + 1:]
        yield (f"field {index + 1} swapped with line {number + 1}: {a.strip()} <-> {b.strip()}",
               first.group(1) + "{" + ",".join(new_a) + "}" + first.group(3),
               second.group(1) + "{" + ",".join(new_b) + "}" + second.group(3))


def all_mutants(lines, ranges, kinds):
    """(line number, description, {line number: new text}) for every change in the ranges."""
    for first, last in ranges:
        for number in range(first, last + 1):
            line = lines[number - 1]
            for description, new in line_mutants(line, kinds):
                yield number, description, {number: new}
            if "swap" in kinds and number < last:
                for description, new_a, new_b in swap_mutants(lines, number):
                    yield number, description, {number: new_a, number + 1: new_b}


def run(command, timeout):
    try:
        return subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              timeout=timeout).returncode
    except subprocess.TimeoutExpired:
        return "timeout"


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("source", help="the source file to change")
    parser.add_argument("--lines", action="append", required=True,
                        help="line range A-B (or one line A) to change; may be repeated")
    parser.add_argument("--target", required=True, help="the test target to rebuild")
    parser.add_argument("--test", required=True, help="the test binary to run")
    parser.add_argument("--filter", default="", help="a --gtest_filter for the test binary")
    parser.add_argument("--preset", default="default", help="the CMake build preset")
    parser.add_argument("--kinds", default="rel,int,text,swap",
                        help="comma-separated kinds of change: rel,int,text,swap")
    parser.add_argument("--timeout", type=float, default=120, help="seconds per test run")
    parser.add_argument("--build-timeout", type=float, default=600, help="seconds per build")
    parser.add_argument("--limit", type=int, default=0, help="try at most this many changes")
    parser.add_argument("--skip", type=int, default=0, help="leave out the first changes")
    parser.add_argument("--list", action="store_true", help="only list the changes")
    args = parser.parse_args()

    source = Path(args.source)
    original = source.read_text(encoding="utf-8")
    lines = original.split("\n")
    kinds = set(args.kinds.split(","))
    mutants = list(all_mutants(lines, parse_ranges(args.lines), kinds))
    mutants = mutants[args.skip:]
    if args.limit:
        mutants = mutants[:args.limit]
    if args.list:
        for number, description, _ in mutants:
            print(f"{source}:{number}: {description}")
        return 0

    build = ["cmake", "--build", "--preset", args.preset, "-j2", "--target", args.target]
    test = [args.test] + ([f"--gtest_filter={args.filter}"] if args.filter else [])
    # A SIGTERM ends the pass like Ctrl-C does: through the restore below.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))

    killed, survivors, unbuilt = 0, [], []
    started = time.monotonic()
    interrupted = False
    try:
        if run(build, args.build_timeout) != 0 or run(test, args.timeout) != 0:
            print("the unchanged source does not build or its tests fail", file=sys.stderr)
            return 2
        for count, (number, description, changes) in enumerate(mutants, 1):
            changed = list(lines)
            for at, text in changes.items():
                changed[at - 1] = text
            source.write_text("\n".join(changed), encoding="utf-8")
            label = f"{source}:{number}: {description}"
            if run(build, args.build_timeout) != 0:
                unbuilt.append(label)
                outcome = "did not build"
            elif run(test, args.timeout) == 0:
                survivors.append(label)
                outcome = "SURVIVED"
            else:
                killed += 1
                outcome = "killed"
            print(f"[{count}/{len(mutants)}] {outcome}: {label}", flush=True)
    except (KeyboardInterrupt, SystemExit):
        interrupted = True
    finally:
        source.write_text(original, encoding="utf-8")

    print(f"\nsurvivors ({len(survivors)}):")
    for label in survivors:
        print(f"  {label}")
    if unbuilt:
        print(f"did not build ({len(unbuilt)}), not counted:")
        for label in unbuilt:
            print(f"  {label}")
    print(f"mutants {killed + len(survivors)}, killed {killed}, survived {len(survivors)}"
          f"  ({time.monotonic() - started:.0f} s{', interrupted' if interrupted else ''})")
    return 1 if interrupted else 0


if __name__ == "__main__":
    sys.exit(main())
