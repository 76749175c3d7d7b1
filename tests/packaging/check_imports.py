#!/usr/bin/env python3
"""Checks that shipped programs are self-contained.

A program we ship may import only KERNEL32.dll, ntdll.dll and the UCRT's
api-ms-win-crt-*.dll; anything else (dbghelp.dll, which is loaded at run
time, or a C++ runtime DLL that should have been linked statically) would be
missing or different on a user's machine.

  check_imports.py --objdump OBJDUMP PROGRAM.exe...   check programs
  check_imports.py --self-test                        check the checker
"""
import argparse
import re
import subprocess
import sys

DLL_NAME = re.compile(r"^\s*DLL Name:\s*(\S+)\s*$", re.MULTILINE)


def allowed(dll):
    name = dll.lower()
    return (name in ("kernel32.dll", "ntdll.dll")
            or (name.startswith("api-ms-win-crt-") and name.endswith(".dll")))


def problems(objdump_text):
    """The reasons the program is not acceptable (empty when it is)."""
    dlls = DLL_NAME.findall(objdump_text)
    if not dlls:
        return ["no imported DLL found in the objdump output (not a PE program?)"]
    return ["imports %s" % dll for dll in dlls if not allowed(dll)]


def check(objdump, programs):
    ok = True
    for program in programs:
        result = subprocess.run([objdump, "-p", program], capture_output=True, text=True)
        if result.returncode != 0:
            print("%s: objdump failed: %s" % (program, result.stderr.strip()))
            ok = False
            continue
        found = problems(result.stdout)
        imported = ", ".join(DLL_NAME.findall(result.stdout))
        if found:
            ok = False
            for problem in found:
                print("%s: %s" % (program, problem))
        else:
            print("%s: ok (%s)" % (program, imported))
    return ok


def listing(*dlls):
    """objdump -p output in the form binutils prints import tables."""
    parts = ["\nThe Import Tables (interpreted .idata section contents)\n"]
    for dll in dlls:
        parts.append("\tDLL Name: %s\n\tvma:  Hint/Ord Member-Name Bound-To\n"
                     "\t1234\t  42  SomeFunction\n\n" % dll)
    return "".join(parts)


def self_test():
    crt = ["api-ms-win-crt-runtime-l1-1-0.dll", "api-ms-win-crt-stdio-l1-1-0.dll"]
    cases = [
        ("allowed set", listing("KERNEL32.dll", "ntdll.dll", *crt), []),
        ("names in other case", listing("kernel32.DLL", "NTDLL.DLL", "API-MS-WIN-CRT-HEAP-L1-1-0.DLL"), []),
        ("dbghelp", listing("KERNEL32.dll", "dbghelp.dll", *crt), ["imports dbghelp.dll"]),
        ("C++ runtime DLL", listing("KERNEL32.dll", "libstdc++-6.dll"), ["imports libstdc++-6.dll"]),
        ("winpthread and msvcrt", listing("libwinpthread-1.dll", "msvcrt.dll"),
         ["imports libwinpthread-1.dll", "imports msvcrt.dll"]),
        ("other api set", listing("KERNEL32.dll", "api-ms-win-core-synch-l1-2-0.dll"),
         ["imports api-ms-win-core-synch-l1-2-0.dll"]),
        ("look-alike", listing("kernel32.dll.evil", "api-ms-win-crt-x.dl"),
         ["imports kernel32.dll.evil", "imports api-ms-win-crt-x.dl"]),
        ("nothing parsed", "objdump: x.exe: file format not recognized\n",
         ["no imported DLL found in the objdump output (not a PE program?)"]),
    ]
    ok = True
    for name, text, expected in cases:
        got = problems(text)
        if got != expected:
            ok = False
            print("self-test %s: expected %r, got %r" % (name, expected, got))
    print("self-test: %s (%d cases)" % ("ok" if ok else "FAILED", len(cases)))
    return ok


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--objdump", default="x86_64-w64-mingw32-objdump")
    parser.add_argument("--self-test", action="store_true")
    parser.add_argument("programs", nargs="*")
    args = parser.parse_args()
    if args.self_test:
        return 0 if self_test() else 1
    if not args.programs:
        parser.error("no program to check")
    return 0 if check(args.objdump, args.programs) else 1


if __name__ == "__main__":
    sys.exit(main())
