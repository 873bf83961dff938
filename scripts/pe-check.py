"""Checks the Windows DLLs of a built panekit package folder (PE files, read with mingw's objdump).

    python scripts/pe-check.py [--objdump x86_64-w64-mingw32-objdump] <package folder>

Every extension module (.pyd) exports PyInit_<its name> and nothing else but the type information
of the C++ exception classes nanobind exports; every DLL (modules and the package's own libraries)
imports only python313.dll, the package's own DLLs and Windows' system DLLs. Prints one line per
file and exits non-zero when a file breaks a rule.
"""
import argparse
import pathlib
import re
import subprocess
import sys

PYTHON_DLL = "python313.dll"
# DLLs every Windows installation has (the C runtime mingw-w64 links against included).
SYSTEM_DLLS = {
    "kernel32.dll", "user32.dll", "advapi32.dll", "msvcrt.dll", "ucrtbase.dll", "ws2_32.dll",
    "shell32.dll", "ole32.dll", "oleaut32.dll", "gdi32.dll", "bcrypt.dll", "ntdll.dll",
    "shlwapi.dll", "version.dll", "userenv.dll",
}
SYSTEM_PREFIXES = ("api-ms-win-",)
# Itanium-ABI type information (vtable, typeinfo, its name) of nanobind's exported exception classes.
TYPE_INFO = re.compile(r"^_ZT[VIS]N8nanobind\w+$")


def pe_tables(objdump, path):
    """(imported DLL names, exported symbol names) of one PE file."""
    text = subprocess.run([objdump, "-p", str(path)], check=True, capture_output=True,
                          text=True).stdout
    imports = re.findall(r"^\s*DLL Name:\s*(\S+)", text, re.M)
    exports = []
    table = re.search(r"\[Ordinal/Name Pointer\] Table\n(.*?)(?:\n\s*\n|\Z)", text, re.S)
    if table:
        exports = re.findall(r"^\s*\[\s*\d+\]\s+(\S+)", table.group(1), re.M)
    return imports, exports


def problems(path, imports, exports, own_dlls):
    found = []
    for dll in imports:
        low = dll.lower()
        if low == PYTHON_DLL or low in own_dlls or low in SYSTEM_DLLS or low.startswith(SYSTEM_PREFIXES):
            continue
        found.append(f"imports {dll}, which is neither shipped beside it nor part of Windows")
    if path.suffix == ".pyd":
        init = "PyInit_" + path.name.split(".")[0]
        if init not in exports:
            found.append(f"does not export {init}")
        extra = [e for e in exports if e != init and not TYPE_INFO.match(e)]
        if extra:
            found.append(f"exports {len(extra)} other symbols: {', '.join(extra[:8])}")
    return found


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--objdump", default="x86_64-w64-mingw32-objdump")
    ap.add_argument("folder", type=pathlib.Path)
    args = ap.parse_args(argv)
    files = sorted(p for p in args.folder.iterdir() if p.suffix.lower() in (".pyd", ".dll"))
    own = {p.name.lower() for p in files if p.suffix.lower() == ".dll"}
    if not any(p.suffix == ".pyd" for p in files) or not own:
        print(f"pe-check: no modules or no DLLs in {args.folder}", file=sys.stderr)
        return 1
    failed = 0
    for path in files:
        imports, exports = pe_tables(args.objdump, path)
        found = problems(path, imports, exports, own)
        print(f"pe-check: {path.name}: {'FAIL' if found else 'ok'} "
              f"({len(exports)} exports; imports {', '.join(imports)})")
        for p in found:
            print(f"pe-check:   {p}")
        failed += bool(found)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
