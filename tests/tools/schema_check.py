#!/usr/bin/env python3
"""Checks gard --json outputs against the schemas they name.

Usage: schema_check.py SCHEMA_DIR OUTPUT.json...
       schema_check.py SCHEMA_DIR --docs docs/json.md

With --docs, the schemas and the page that describes the fields in words
must name the same fields: every field of a schema is on the page in
backquotes, and every single word in backquotes on the page is a field or
a value of one (an enum, a const, an example) in some schema.

Each output must parse, name a schema that exists ("schema") with the
version its file fixes ("schemaVersion"), and validate against it. Then
each field of it, at any depth, is renamed in turn: the schema must refuse
the renamed output, except inside the parts left open for fields to come
(history events and their items, a demo step's status). The last line counts what was
checked, in the form the test runners read.
"""
import copy
import json
import pathlib
import re
import sys

import jsonschema

# Field paths whose objects take more fields: history events and the items
# of their changes (also in diff and restore), a demo step's status; and
# the outputs that are each one history event (a followed history's lines).
OPEN = [("history", "*"), ("changes", "*", "items"), ("steps", "*", "status")]
OPEN_OUTPUTS = {"history-event"}


def under_open(path):
    return any(len(path) > len(o) and all(p == "*" or p == q for p, q in zip(o, path)) for o in OPEN)


def renames(value, path=()):
    """Every (path to an object, field) of value, with list indexes as '*'."""
    if isinstance(value, dict):
        for key, v in value.items():
            yield path, key
            yield from renames(v, path + (key,))
    elif isinstance(value, list):
        for v in value[:2]:  # the first two entries stand for the rest
            yield from renames(v, path + ("*",))


def renamed(doc, path, key):
    """Copies of doc with `key` renamed in the objects at `path`."""
    out = copy.deepcopy(doc)
    def walk(v, rest):
        if not rest:
            if isinstance(v, dict) and key in v:
                v[key + "Renamed"] = v.pop(key)
            return
        if rest[0] == "*":
            for item in (v[:2] if isinstance(v, list) else []):
                walk(item, rest[1:])
        elif isinstance(v, dict) and rest[0] in v:
            walk(v[rest[0]], rest[1:])
    walk(out, list(path))
    return out


def docs_agree(schema_dir, page):
    names, values = set(), {"null"}
    def walk(x):
        if isinstance(x, dict):
            names.update(x.get("properties", {}))
            values.update(str(v) for v in x.get("enum", []) + x.get("examples", []) if v is not None)
            if isinstance(x.get("const"), str):
                values.add(x["const"])
            for v in x.values():
                walk(v)
        elif isinstance(x, list):
            for v in x:
                walk(v)
    for p in schema_dir.glob("*.schema.json"):
        walk(json.loads(p.read_text()))
    quoted = set(re.findall(r"`([^`]+)`", pathlib.Path(page).read_text()))
    words = {q for q in quoted if re.fullmatch(r"[A-Za-z][A-Za-z0-9]*", q)}
    missing = sorted(names - quoted)
    # NAMEHex fields beside a field of bytes (patternProperties "Hex$").
    unknown = sorted(w for w in words - names - values if not (w.endswith("Hex") and w[:-3] in names | {""}))
    for n in missing:
        print(f"FAIL {page}: field {n} of the schemas is not on the page")
    for w in unknown:
        print(f"FAIL {page}: `{w}` is no field or value of any schema")
    print(f"schemas: {len(names)} fields, {len(words)} words on the page compared")
    print(f"{len(names) + len(words) - len(missing) - len(unknown)} passed, {len(missing) + len(unknown)} failed")
    return 1 if missing or unknown else 0


def main():
    schema_dir = pathlib.Path(sys.argv[1]).resolve()
    if sys.argv[2:3] == ["--docs"]:
        return docs_agree(schema_dir, sys.argv[3])
    # The schemas refer to each other by file name ($id), as installed side by side.
    known = {p.name: json.loads(p.read_text()) for p in schema_dir.glob("*.schema.json")}
    try:  # jsonschema 4.18 on
        from referencing import Registry, Resource
        registry = Registry().with_resources((n, Resource.from_contents(s)) for n, s in known.items())
        make = lambda s: jsonschema.Draft202012Validator(s, registry=registry)
    except ImportError:  # Debian 12's python3-jsonschema 4.10
        make = lambda s: jsonschema.Draft202012Validator(
            s, resolver=jsonschema.RefResolver.from_schema(s, store=known))
    validators = {}
    failed = checked = caught = 0
    for name in sys.argv[2:]:
        text = pathlib.Path(name).read_text()
        def fail(why):
            nonlocal failed
            failed += 1
            print(f"FAIL {name}: {why}\n    {text[:300]!r}")
        try:
            doc = json.loads(text)
        except ValueError as e:
            fail(f"not JSON: {e}")
            continue
        schema_name = doc.get("schema") if isinstance(doc, dict) else None
        path = schema_dir / f"{schema_name}.schema.json"
        if not isinstance(schema_name, str) or not path.is_file():
            fail(f"names no schema of {schema_dir}: {schema_name!r}")
            continue
        if schema_name not in validators:
            validators[schema_name] = make(known[path.name])
        validator = validators[schema_name]
        errors = sorted(validator.iter_errors(doc), key=lambda e: list(e.path))
        checked += 1
        if errors:
            fail("; ".join(f"{'/'.join(map(str, e.path))}: {e.message[:200]}" for e in errors[:3]))
            continue
        for at, key in renames(doc) if schema_name not in OPEN_OUTPUTS else ():
            if under_open(at + (key,)) or "unknown" in at:  # unknown's keys name other fields
                continue
            if validator.is_valid(renamed(doc, at, key)):
                fail(f"still valid with {'/'.join(at + (key,))} renamed")
                break
            caught += 1
    print(f"schemas: {checked} outputs checked against {len(validators)} schemas, "
          f"{caught} renamed fields refused")
    print(f"{checked - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
