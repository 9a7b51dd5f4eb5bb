#!/usr/bin/env python3
"""Checks what regsvr32 writes and removes, key by key, in a Wine prefix.

Usage: registry_check.py DLL (WINEPREFIX and WINEDEBUG set by the caller).
Another program's ".zip" default value is set before registration and must
survive both registration and unregistration.
"""
import os
import subprocess
import sys
import tempfile

CLSID = "{6B1F7C2A-58D3-4E0B-9A61-2F4D8C3E7A15}"
CATEGORY = "{00021490-0000-0000-C000-000000000046}"
HANDLERS = [
    r"*\shellex\ContextMenuHandlers\zorvex extractor",
    r"Folder\shellex\DragDropHandlers\zorvex extractor",
    r"Folder\shellex\ContextMenuHandlers\zorvex extractor",
    r"Directory\Background\shellex\ContextMenuHandlers\zorvex extractor",
]
LIBRARY_HANDLER = r"LibraryFolder\background\shellex\ContextMenuHandlers\zorvex extractor"
FOREIGN = "OtherProgram.zip"
# Longer than the 200-byte buffer registration reads default values into.
FOREIGN_LONG = "OtherProgram.Archive." + "x" * 120

dll_unix = sys.argv[1]
failures = []


def wine(*args):
    return subprocess.run(["wine", *args], capture_output=True).returncode


def check(condition, what):
    print(("ok   " if condition else "FAIL ") + what)
    if not condition:
        failures.append(what)


def export():
    """HKEY_CLASSES_ROOT as {lower-case key: {value name: value text}}."""
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "hkcr.reg")
        wine("reg", "export", "HKEY_CLASSES_ROOT", path, "/y")
        text = open(path, "rb").read().decode("utf-16")
    keys = {}
    current = None
    pending = ""
    for line in text.splitlines():
        if pending:
            line = pending + line.strip()
            pending = ""
        if line.endswith("\\") and not line.startswith("["):
            pending = line[:-1]
            continue
        if line.startswith("[") and line.endswith("]"):
            name = line[1:-1]
            prefix = "HKEY_CLASSES_ROOT\\"
            current = name[len(prefix):].lower() if name.startswith(prefix) else None
            if current is not None:
                keys[current] = {}
        elif current is not None and "=" in line:
            name, _, value = line.partition("=")
            keys[current]["" if name == "@" else name.strip('"')] = value
    return keys


def sz(text):
    return '"' + text.replace("\\", "\\\\") + '"'


def default(keys, key):
    return keys.get(key.lower(), {}).get("")


def expand_sz(text):
    data = (text + "\0").encode("utf-16-le")
    return "hex(2):" + ",".join("%02x" % b for b in data)


def winpath(path):
    return subprocess.run(["winepath", "-w", path], capture_output=True, text=True).stdout.strip()


def extensions_of(keys):
    """Extensions whose association names our class."""
    prefix = "systemfileassociations\\"
    return sorted(k[len(prefix):-len("\\clsid")] for k, v in keys.items()
                  if k.startswith(prefix) and k.endswith("\\clsid") and v.get("") == sz(CLSID))


wine("reg", "add", r"HKCR\.zip", "/ve", "/d", FOREIGN, "/f")
wine("reg", "add", r"HKCR\.zipx", "/ve", "/d", FOREIGN_LONG, "/f")
wine("reg", "delete", r"HKCR\LibraryFolder", "/f")
# Values and subkeys that other programs keep in the keys registration shares.
SEEDED = [
    (r".gz", "Content Type", "application/gzip"),
    (r".gz\OpenWithProgids", "Other.gz", ""),
    (r".tgz", "PerceivedType", "compressed"),
    (r"SystemFileAssociations\.tar", "FullDetails", "prop:System.Size"),
    (r"SystemFileAssociations\.bz2\shell\other", "", "Other verb"),
]
for key, name, value in SEEDED:
    if name:
        wine("reg", "add", "HKCR\\" + key, "/v", name, "/d", value, "/f")
    else:
        wine("reg", "add", "HKCR\\" + key, "/ve", "/d", value, "/f")

check(wine("regsvr32", "/s", dll_unix) == 0, "regsvr32 succeeds")
keys = export()
clsid_key = "CLSID\\" + CLSID
check(default(keys, clsid_key) == sz("zorvex extractor"), "class key and its name")
server = keys.get((clsid_key + "\\InProcServer32").lower(), {})
check(server.get("") == sz(winpath(dll_unix)), "in-process server path " + str(server.get("")))
check(server.get("ThreadingModel") == sz("Apartment"), "apartment threading")
check(keys.get((clsid_key + "\\ShellFolder").lower(), {}).get("Attributes") == "dword:30000000",
      "shell folder attributes")
check((clsid_key + "\\Implemented Categories\\" + CATEGORY).lower() in keys, "browsable-extension category")
check(default(keys, "ZorvexArchive") == sz("ZorvexArchive"), "file type")
check(default(keys, r"ZorvexArchive\CLSID") == sz(CLSID), "file type class")
check(default(keys, r"ZorvexArchive\DefaultIcon") == expand_sz(r"%SystemRoot%\system32\zipfldr.dll"),
      "file type icon as REG_EXPAND_SZ")
check(default(keys, r"ZorvexArchive\shell") == sz("open"), "file type verb")
check(default(keys, ".zip") == sz(FOREIGN), "another program's .zip value survives registration")
extensions = extensions_of(keys)
check(".zip" in extensions and ".zipx" in extensions, "associations " + " ".join(extensions))
check(default(keys, ".zipx") == sz(FOREIGN_LONG), "a value too long for the read buffer survives registration")
for extension in extensions:
    if extension not in (".zip", ".zipx"):
        check(default(keys, extension) == sz("ZorvexArchive"), extension + " names the file type")
for handler in HANDLERS:
    check(default(keys, handler) == sz(CLSID), "handler " + handler)
check(LIBRARY_HANDLER.lower() not in keys, "no library handler without a LibraryFolder key")

# With a LibraryFolder key the fifth handler is written too.
wine("reg", "add", r"HKCR\LibraryFolder", "/f")
check(wine("regsvr32", "/s", dll_unix) == 0, "registering again succeeds")
keys = export()
check(default(keys, LIBRARY_HANDLER) == sz(CLSID), "library handler with a LibraryFolder key")
# Another program's association of one extension must survive unregistration.
wine("reg", "add", r"HKCR\SystemFileAssociations\.zipx\CLSID", "/ve", "/d", "{00000000-1111-2222-3333-444444444444}",
     "/f")

check(wine("regsvr32", "/s", "/u", dll_unix) == 0, "regsvr32 /u succeeds")
keys = export()
check(clsid_key.lower() not in keys, "class key removed")
check("zorvexarchive" not in keys, "file type removed")
for handler in HANDLERS + [LIBRARY_HANDLER]:
    check(handler.lower() not in keys, "handler removed: " + handler)
check(default(keys, ".zip") == sz(FOREIGN), "another program's .zip value survives unregistration")
check(r"systemfileassociations\.zip" not in keys, ".zip association removed")
check(default(keys, r"SystemFileAssociations\.zipx\CLSID") == sz("{00000000-1111-2222-3333-444444444444}"),
      "another program's .zipx association survives")
check(default(keys, ".zipx") == sz(FOREIGN_LONG), "a value too long for the read buffer survives unregistration")
for extension in extensions:
    if extension not in (".zip", ".zipx"):
        check(extension.lower() not in keys or default(keys, extension) != sz("ZorvexArchive"),
              extension + " file type link removed")

for key, name, value in SEEDED:
    check(keys.get(key.lower(), {}).get(name) == sz(value), "foreign value survives: " + key + " " + (name or "@"))
check(default(keys, ".gz") is None, ".gz file type link removed, key kept for its other values")
check(r"systemfileassociations\.tar\clsid" not in keys, ".tar association removed beside foreign values")
check(r"systemfileassociations\.bz2\clsid" not in keys, ".bz2 association removed beside a foreign subkey")
check(".xz" not in keys and r"systemfileassociations\.xz" not in keys, "keys left empty are pruned (.xz)")

if failures:
    print("%d registry check(s) failed" % len(failures))
    sys.exit(1)
print("registry checks passed")
