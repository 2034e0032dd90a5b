#!/usr/bin/env python3
"""Checks that every metric name and label that the shipped Prometheus
rules and Grafana dashboard use exists in a scrape of a running daemon, so
that renaming a metric fails the tests instead of silently emptying a
panel or disarming an alert.

    check_names.py EXPOSITION RULES.yml DASHBOARD.json

EXPOSITION is the text of /metrics. Prints what is missing and exits 1;
exits 0 when everything is there.
"""
import json
import re
import sys

import yaml

# Labels Prometheus itself attaches to every scraped series, and names that
# exist only in Prometheus.
TARGET_LABELS = {"instance", "job"}
PROMETHEUS_SERIES = {"up": set()}

KEYWORDS = {"and", "or", "unless", "bool", "offset", "inf", "nan"}
AGGREGATIONS = {"sum", "min", "max", "avg", "group", "stddev", "stdvar", "count",
                "count_values", "bottomk", "topk", "quantile"}
GROUPING = {"by", "without", "on", "ignoring", "group_left", "group_right"}

TOKEN = re.compile(r"""
    (?P<string>"(?:[^"\\]|\\.)*"|'(?:[^'\\]|\\.)*'|`[^`]*`)
  | (?P<range>\[[^\]]*\])
  | (?P<var>\$\{[^}]*\}|\$[A-Za-z_][A-Za-z0-9_]*)
  | (?P<ident>[A-Za-z_:][A-Za-z0-9_:]*)
  | (?P<number>[0-9][0-9.eExXa-fA-F+]*[a-z]*)
  | (?P<op>=~|!~|!=|==|>=|<=|[-+*/%^(){},=<>@])
  | (?P<space>\s+)
""", re.X)


def tokens(expr):
    pos = 0
    out = []
    while pos < len(expr):
        m = TOKEN.match(expr, pos)
        if not m:
            raise ValueError(f"cannot read {expr[pos:pos + 20]!r} in {expr!r}")
        pos = m.end()
        if m.lastgroup != "space":
            out.append((m.lastgroup, m.group()))
    return out


def names_in(expr):
    """(metrics, matchers, grouping): the metric names an expression
    selects, the (metric, label) pairs of its selectors' matchers, and the
    labels of its by/without/on/ignoring/group_* lists."""
    toks = tokens(expr)
    metrics, matchers, grouping = set(), set(), set()
    i = 0
    last_metric = None
    while i < len(toks):
        kind, text = toks[i]
        nxt = toks[i + 1][1] if i + 1 < len(toks) else None
        if kind == "ident" and text in GROUPING:
            i += 1
            if nxt == "(":
                i += 1
                while toks[i][1] != ")":
                    if toks[i][0] == "ident":
                        grouping.add(toks[i][1])
                    i += 1
                i += 1
            continue
        if kind == "ident" and (nxt == "(" or
                                (text in AGGREGATIONS and nxt in GROUPING)):
            last_metric = None  # a function or an aggregation
        elif kind == "ident" and text.lower() not in KEYWORDS:
            metrics.add(text)
            last_metric = text
        elif text == "{":
            i += 1
            while toks[i][1] != "}":
                if toks[i][0] == "ident" and toks[i + 1][1] in ("=", "!=", "=~", "!~"):
                    matchers.add((last_metric, toks[i][1]))
                i += 1
            last_metric = None
        i += 1
    return metrics, matchers, grouping


def read_exposition(text):
    """family name -> set of label names seen on its samples (a family
    with HELP/TYPE and no sample yet is present with no labels)."""
    families = {}
    for line in text.splitlines():
        if line.startswith("# TYPE "):
            families.setdefault(line.split()[2], set())
        elif line and not line.startswith("#"):
            m = re.match(r"([A-Za-z_:][A-Za-z0-9_:]*)(\{(.*)\})?\s", line)
            if not m:
                continue
            labels = set(re.findall(r'([A-Za-z_][A-Za-z0-9_]*)="(?:[^"\\]|\\.)*"',
                                    m.group(3) or ""))
            families.setdefault(m.group(1), set()).update(labels)
    return families


def uses(rules_path, dashboard_path):
    """[(where, expression, extra labels the text around it names)] and the
    recording rules (name -> expression)."""
    found, recorded = [], {}
    with open(rules_path) as f:
        doc = yaml.safe_load(f)
    for group in doc["groups"]:
        for rule in group["rules"]:
            name = rule.get("alert") or rule.get("record")
            texts = " ".join(rule.get("annotations", {}).values())
            found.append((f"rule {name}", rule["expr"],
                          set(re.findall(r"\$labels\.([A-Za-z_]\w*)", texts))))
            if "record" in rule:
                recorded[rule["record"]] = rule["expr"]
    with open(dashboard_path) as f:
        dash = json.load(f)

    def walk(panels):
        for p in panels:
            for t in p.get("targets", []):
                legend = set(re.findall(r"\{\{\s*([A-Za-z_]\w*)\s*\}\}",
                                        t.get("legendFormat", "")))
                found.append((f"panel '{p['title']}'", t["expr"], legend))
            walk(p.get("panels", []))

    walk(dash["panels"])
    for var in dash["templating"]["list"]:
        q = var.get("query")
        if isinstance(q, dict):
            m = re.match(r"label_values\((.*),\s*(\w+)\)$", q["query"])
            found.append((f"variable ${var['name']}", m.group(1), {m.group(2)}))
    return found, recorded


def main(exposition_path, rules_path, dashboard_path):
    with open(exposition_path) as f:
        families = read_exposition(f.read())
    families.update(PROMETHEUS_SERIES)
    found, recorded = uses(rules_path, dashboard_path)

    # What each recording rule reads: its name stands for those metrics.
    def sources(metrics):
        out = set()
        for m in metrics:
            out |= sources(names_in(recorded[m])[0]) if m in recorded else {m}
        return out

    problems = []
    for where, expr, extra in found:
        metrics, matchers, grouping = names_in(expr)
        selected = sources(metrics)
        for m in sorted(selected):
            if m not in families:
                problems.append(f"{where}: metric {m} is not in the exposition")
        known = [m for m in selected if m in families]
        for metric, label in sorted(matchers, key=str):
            if label in TARGET_LABELS or metric is None or metric not in families:
                continue
            if metric in recorded:
                continue  # checked through the rule's own expression
            if label not in families[metric]:
                problems.append(f"{where}: {metric} has no label {label}")
        for label in sorted(grouping | extra):
            if label in TARGET_LABELS or not known:
                continue
            if not any(label in families[m] for m in known):
                problems.append(f"{where}: none of {sorted(known)} has label {label}")

    for p in problems:
        print(p)
    print(f"{len(found)} expressions checked, {len(problems)} problem(s)")
    return 1 if problems else 0


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    sys.exit(main(*sys.argv[1:]))
