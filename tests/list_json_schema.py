"""Checks that `zorvex list --json` output (standard input) follows the schema the README documents.

Exits 1 with the first violation; prints "ok N" (entries checked, at every level) otherwise.
"""
import json
import re
import sys

TIME = re.compile(r"^\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}Z$")
KINDS = {"file", "folder", "archive", "link"}


def fail(where, message):
    sys.exit(f"{where}: {message}")


def optional(value, kind):
    return value is None or isinstance(value, kind)


def check_damage(where, damaged):
    if damaged is None:
        return
    if not isinstance(damaged, dict) or set(damaged) != {"reason", "entries_before"}:
        fail(where, f"damaged is not null or {{reason, entries_before}}: {damaged!r}")
    if not isinstance(damaged["reason"], str) or not isinstance(damaged["entries_before"], int):
        fail(where, f"bad damaged fields: {damaged!r}")


def check_entry(where, entry):
    required = {"path", "kind", "size", "packed_size", "modified", "method", "crc32", "encrypted", "link_target",
                "mode"}
    missing = required - set(entry)
    extra = set(entry) - required - {"contents", "error"}
    if missing or extra:
        fail(where, f"fields missing {sorted(missing)} or unknown {sorted(extra)}")
    path = entry["path"]
    if not isinstance(path, str) or not path or path.startswith("/") or path.endswith("/") or "\\" in path:
        fail(where, f"bad path {path!r}")
    if entry["kind"] not in KINDS:
        fail(where, f"bad kind {entry['kind']!r}")
    for field in ("size", "packed_size"):
        if not optional(entry[field], int) or isinstance(entry[field], bool) or (entry[field] or 0) < 0:
            fail(where, f"bad {field} {entry[field]!r}")
    if entry["kind"] == "folder" and (entry["size"] is not None or entry["method"] is not None):
        fail(where, "a folder with a size or method")
    if entry["modified"] is not None and not TIME.match(entry["modified"]):
        fail(where, f"bad modified {entry['modified']!r}")
    if not optional(entry["method"], str):
        fail(where, f"bad method {entry['method']!r}")
    if entry["crc32"] is not None and not re.match(r"^[0-9a-f]{8}$", str(entry["crc32"])):
        fail(where, f"bad crc32 {entry['crc32']!r}")
    if not isinstance(entry["encrypted"], bool):
        fail(where, "encrypted is not a boolean")
    if (entry["link_target"] is not None) != (entry["kind"] == "link") or not optional(entry["link_target"], str):
        fail(where, f"link_target {entry['link_target']!r} for kind {entry['kind']}")
    if entry["mode"] is not None and not re.match(r"^[0-7]{1,7}$", str(entry["mode"])):
        fail(where, f"bad mode {entry['mode']!r}")
    if "error" in entry and not isinstance(entry["error"], str):
        fail(where, "error is not a string")
    count = 1
    if "contents" in entry:
        if entry["kind"] not in ("archive", "file"):
            fail(where, "contents in a " + entry["kind"])
        count += check_level(where + "/" + path, entry["contents"], top=False)
    return count


def check_level(where, level, top):
    fields = {"format", "entries", "damaged"} | ({"archive"} if top else set())
    if not isinstance(level, dict) or set(level) != fields:
        fail(where, f"level fields are {sorted(level) if isinstance(level, dict) else level!r}")
    if top and not isinstance(level["archive"], str):
        fail(where, "archive is not a string")
    if not optional(level["format"], str):
        fail(where, "format is not a string")
    check_damage(where, level["damaged"])
    if not isinstance(level["entries"], list):
        fail(where, "entries is not a list")
    return sum(check_entry(f"{where}[{i}]", e) for i, e in enumerate(level["entries"]))


def main():
    try:
        document = json.load(sys.stdin)
    except ValueError as error:
        fail("document", f"not JSON: {error}")
    print("ok", check_level("document", document, top=True))


main()
