#!/usr/bin/env python3
"""Makes the release archive as a user would and tries what it holds.

The archive is made with `cpack -G ZIP` in the build tree, unpacked into a
fresh directory outside it, and the unpacked guess.exe is checked (imports,
version resource, manifest) and run under Wine from another directory: "42"
must be echoed, and a failed read with TAVO_BACKTRACE=1 must give a trace
that names guess::main, which needs the program's debug information (for a
build with a PDB: the PDB beside the program, not the one in the build tree).

  check_archive.py --cpack CPACK --build DIR --name guess-1.2.3-win64
                   --wine WRAPPER --objdump OBJDUMP --pdb 0|1
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_imports  # noqa: E402

GREETING = b"Guess the numberl!\nPlease input your guess.\n"


def resource_strings(image):
    """Key -> value of the version resource's strings (UTF-16, 2-aligned)."""
    found = {}
    for start in (0, 1):
        text = image[start:len(image) - (len(image) - start) % 2].decode("utf-16-le", "replace")
        for key, value in re.findall(r"(ProductName|ProductVersion|FileVersion|FileDescription)"
                                     r"\x00+([^\x00]+)\x00", text):
            found.setdefault(key, value)
    return found


def check_program(exe, version, objdump):
    problems = []
    listing = subprocess.run([objdump, "-p", exe], capture_output=True, text=True).stdout
    problems += check_imports.problems(listing)
    with open(exe, "rb") as f:
        image = f.read()
    strings = resource_strings(image)
    expected = {"ProductName": "guess", "ProductVersion": version, "FileVersion": version}
    for key, value in expected.items():
        if strings.get(key) != value:
            problems.append("version resource: %s is %r, expected %r" % (key, strings.get(key), value))
    if not strings.get("FileDescription"):
        problems.append("version resource: no FileDescription")
    for needle in (b'level="asInvoker"', b'{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}',
                   b'WindowsSettings">true</longPathAware>'):
        if needle not in image:
            problems.append("manifest: %s missing" % needle.decode())
    return problems


def run(wine, exe, cwd, data, backtrace):
    env = dict(os.environ)
    env.pop("TAVO_BACKTRACE", None)
    if backtrace:
        env["TAVO_BACKTRACE"] = "1"
    return subprocess.run([wine, exe], input=data, capture_output=True, cwd=cwd, env=env,
                          timeout=120)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    for option in ("--cpack", "--build", "--name", "--wine", "--objdump"):
        parser.add_argument(option, required=True)
    parser.add_argument("--pdb", choices=("0", "1"), required=True)
    args = parser.parse_args()
    version = args.name.split("-")[1]
    archive = os.path.join(args.build, args.name + ".zip")
    if os.path.exists(archive):
        os.remove(archive)
    made = subprocess.run([args.cpack, "-G", "ZIP"], cwd=args.build, capture_output=True,
                          text=True, timeout=240)
    if made.returncode != 0 or not os.path.exists(archive):
        print("cpack did not make %s:\n%s%s" % (archive, made.stdout, made.stderr))
        return 1

    problems = []
    unpacked = tempfile.mkdtemp(prefix="guess-archive-")
    try:
        with zipfile.ZipFile(archive) as z:
            z.extractall(unpacked)
            files = sorted(n for n in z.namelist() if not n.endswith("/"))
        expected = ["bin/guess.exe", "share/doc/guess/README.md"]
        if args.pdb == "1":
            expected.append("bin/guess.pdb")
        expected = sorted(args.name + "/" + f for f in expected)
        if files != expected:
            problems.append("archive holds %s, expected %s" % (files, expected))
        top = os.path.join(unpacked, args.name)
        exe = os.path.join(top, "bin", "guess.exe")
        if os.path.exists(exe):
            # Unpacked programs may lose their mode bits; Wine does not care.
            problems += check_program(exe, version, args.objdump)
            echo = run(args.wine, exe, top, b"42\n", False)
            if (echo.returncode, echo.stdout) != (0, GREETING + b"You guessed: 42\n\n"):
                problems.append("run with 42: status %d, stdout %r, stderr %r"
                                % (echo.returncode, echo.stdout, echo.stderr))
            failed = run(args.wine, exe, top, b"\xff\n", True)
            if failed.returncode != 101 or b"stack backtrace:" not in failed.stderr:
                problems.append("failed read: status %d, stderr %r"
                                % (failed.returncode, failed.stderr))
            elif not re.search(rb"^ +\d+: guess::main\r?$", failed.stderr, re.MULTILINE):
                problems.append("the trace does not name guess::main:\n"
                                + failed.stderr.decode("utf-8", "replace"))
    finally:
        shutil.rmtree(unpacked, ignore_errors=True)
    for problem in problems:
        print(problem)
    print("%s: %s" % (args.name, "FAILED" if problems else "ok"))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
