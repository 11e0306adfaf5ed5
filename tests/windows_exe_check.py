"""What Windows needs of torvex.exe, read with objdump without running it:
the word size's PE format and machine, the console subsystem (so that Ctrl-C
and redirection work as in a console), and no DLL beyond Windows' own, so the
exe runs where it is copied.

Usage: windows_exe_check.py OBJDUMP EXE POINTER_SIZE"""

import re
import subprocess
import sys

# The DLLs that every Windows has; a runtime DLL beside them (libstdc++,
# libgcc, winpthread) would mean the static link failed.
WINDOWS_OWN_DLLS = {"kernel32.dll", "msvcrt.dll", "advapi32.dll", "user32.dll", "ntdll.dll",
                    "shell32.dll"}

EXPECTED = {
    # pointer size: (file format, machine, optional-header magic)
    "4": ("pei-i386", "i386", "010b (PE32)"),
    "8": ("pei-x86-64", "i386:x86-64", "020b (PE32+)"),
}


def main(objdump, exe, pointer_size):
    file_format, machine, magic = EXPECTED[pointer_size]
    headers = subprocess.run([objdump, "-f", "-p", exe], capture_output=True, text=True,
                             check=True).stdout
    found = {
        "file format": re.search(r"file format (\S+)", headers),
        "machine": re.search(r"^architecture: ([^,]+),", headers, re.M),
        "magic": re.search(r"^Magic\s+(\w+\s+\(\S+\))", headers, re.M),
        "subsystem": re.search(r"^Subsystem\s+\w+\s+\((.*)\)", headers, re.M),
    }
    checks = [
        ("file format", file_format),
        ("machine", machine),
        ("magic", " ".join(magic.split())),
        ("subsystem", "Windows CUI"),
    ]
    failures = []
    for what, expected in checks:
        match = found[what]
        actual = " ".join(match.group(1).split()) if match else None
        if actual != expected:
            failures.append("%s: %r, expected %r" % (what, actual, expected))
    dlls = re.findall(r"DLL Name: (\S+)", headers)
    foreign = [dll for dll in dlls if dll.lower() not in WINDOWS_OWN_DLLS]
    if not dlls or foreign:
        failures.append("imports %s; only Windows' own DLLs are allowed" % (dlls or "nothing"))
    for failure in failures:
        print("%s: %s" % (exe, failure))
    if not failures:
        print("%s: %s, %s, %s, console subsystem, imports %s" % (
            exe, file_format, machine, magic, ", ".join(dlls)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
