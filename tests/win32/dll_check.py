#!/usr/bin/env python3
"""Checks a built zorvexextractor.dll without running it.

Usage: dll_check.py DLL TRIPLET BITMAP. The export table must hold exactly
the COM server's entry points and ExtractW, the imports only system DLLs (everything else
is linked statically), and the resources the 11x11 menu bitmap.
"""
import re
import subprocess
import sys

dll, triplet, bitmap = sys.argv[1:4]
dump = subprocess.run([triplet + "-objdump", "-p", dll], capture_output=True, text=True, check=True).stdout
failures = []


def check(condition, what):
    print(("ok   " if condition else "FAIL ") + what)
    if not condition:
        failures.append(what)


exports_section = dump.split("[Ordinal/Name Pointer] Table", 1)[-1].split("\n\n", 1)[0]
exports = sorted(re.findall(r"\]\s+(\w+)\s*$", exports_section, re.M))
check(exports == ["DllCanUnloadNow", "DllGetClassObject", "DllRegisterServer", "DllUnregisterServer", "ExtractW"],
      "exports " + " ".join(exports))

system = {"kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "ole32.dll", "oleaut32.dll",
          "shell32.dll", "shlwapi.dll", "msvcrt.dll"}
imports = sorted(set(name.lower() for name in re.findall(r"DLL Name: (\S+)", dump)))
check(all(name in system or name.startswith("api-ms-win-") for name in imports), "imports " + " ".join(imports))

image = open(dll, "rb").read()
bmp = open(bitmap, "rb").read()
check(bmp[14:] in image, "menu bitmap resource (header, palette and 11 rows)")
resources = subprocess.run([triplet + "-objdump", "-h", dll], capture_output=True, text=True, check=True).stdout
check(".rsrc" in resources, "resource section")
machine = "i386" if triplet.startswith("i686") else "x86-64"
check(machine in subprocess.run([triplet + "-objdump", "-f", dll], capture_output=True, text=True).stdout,
      "machine " + machine)

if failures:
    sys.exit(1)
