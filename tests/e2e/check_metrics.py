#!/usr/bin/python3
"""Checks a file of metrics as the node exporter's textfile collector and
Prometheus read it, and prints its samples, one per line: METRIC NAME VALUE.

The parser of python3-prometheus-client reads the file; it is lenient, so
the rules it lets pass and that promtool and the collector hold to are
checked here as well: the file is UTF-8; every line is a HELP, a TYPE or a
sample; each metric has one HELP and one TYPE, gauge, before its samples,
and its samples stand together; a label value uses only the escapes \\\\, \\"
and \\n; and no series comes twice (the collector drops a file that has
one twice). Exit status 1 and the reason on standard error otherwise.

Usage: check_metrics.py FILE
"""
import re
import sys

from prometheus_client.parser import text_string_to_metric_families

NAME = r"[a-zA-Z_:][a-zA-Z0-9_:]*"
LABEL_VALUE = r'"(?:[^"\\\n]|\\[\\"n])*"'
SAMPLE = re.compile(
    rf"^({NAME})(\{{[a-zA-Z_][a-zA-Z0-9_]*={LABEL_VALUE}"
    rf"(?:,[a-zA-Z_][a-zA-Z0-9_]*={LABEL_VALUE})*\}})? (-?[0-9]+(?:\.[0-9]+)?)$"
)
HELP = re.compile(rf"^# HELP ({NAME}) (\S.*)$")
TYPE = re.compile(rf"^# TYPE ({NAME}) (\S+)$")


def fail(reason):
    sys.stderr.write(f"check_metrics: {reason}\n")
    sys.exit(1)


def main():
    with open(sys.argv[1], "rb") as f:
        raw = f.read()
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError as e:
        fail(f"not UTF-8: {e}")
    if text and not text.endswith("\n"):
        fail("the last line has no newline")

    helped, typed, series = set(), set(), set()
    current = None  # the metric whose samples may follow
    for number, line in enumerate(text.splitlines(), 1):
        help_line, type_line, sample = HELP.match(line), TYPE.match(line), SAMPLE.match(line)
        if help_line:
            name = help_line.group(1)
            if name in helped:
                fail(f"line {number}: a second HELP for {name}")
            helped.add(name)
            current = None
        elif type_line:
            name, kind = type_line.groups()
            if name not in helped or name in typed:
                fail(f"line {number}: TYPE of {name} without its HELP, or a second one")
            if kind != "gauge":
                fail(f"line {number}: {name} is a {kind}, not a gauge")
            typed.add(name)
            current = name
        elif sample:
            name, labels = sample.group(1), sample.group(2) or ""
            if name != current:
                fail(f"line {number}: a sample of {name} away from its HELP and TYPE")
            if (name, labels) in series:
                fail(f"line {number}: {name}{labels} a second time")
            series.add((name, labels))
        else:
            fail(f"line {number}: neither HELP, TYPE nor a sample: {line!r}")

    out = []
    for family in text_string_to_metric_families(text):
        if family.type != "gauge" or not family.documentation:
            fail(f"{family.name}: type {family.type}, help {family.documentation!r}")
        for s in family.samples:
            value = int(s.value) if s.value == int(s.value) else s.value
            out.append(f"{s.name} {s.labels.get('name', '')} {value}\n")
    sys.stdout.buffer.write("".join(out).encode("utf-8"))


if __name__ == "__main__":
    main()
