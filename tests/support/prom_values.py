#!/usr/bin/python3
"""Reads a metrics text (a file; "-" for stdin) with the Prometheus client's
own parser and prints one sample a line, sorted: name{label="value",...}=value,
label values as JSON strings. Exits 1 with the reason on stderr when the text
is not UTF-8, does not parse, or a family lacks its HELP or TYPE line."""
import json
import sys

from prometheus_client.parser import text_string_to_metric_families


def main(path):
    source = sys.stdin.buffer if path == "-" else open(path, "rb")
    with source:
        try:
            text = source.read().decode("utf-8")
        except UnicodeDecodeError as error:
            print(f"not UTF-8: {error}", file=sys.stderr)
            return 1
    try:
        families = list(text_string_to_metric_families(text))
    except Exception as error:  # the parser raises plain ValueErrors and worse
        print(f"does not parse: {error!r}", file=sys.stderr)
        return 1
    lines = []
    for family in families:
        if family.type == "unknown" or not family.documentation:
            print(f"{family.name} lacks its HELP or TYPE line", file=sys.stderr)
            return 1
        for sample in family.samples:
            labels = ",".join(f"{k}={json.dumps(v)}" for k, v in sorted(sample.labels.items()))
            name = sample.name + ("{" + labels + "}" if labels else "")
            lines.append(f"{name}={sample.value!r}")
    for line in sorted(lines):
        print(line)
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 2:
        print("usage: prom_values.py FILE|-", file=sys.stderr)
        sys.exit(2)
    sys.exit(main(sys.argv[1]))
