#!/usr/bin/env python3
"""Checks that every quoted include and every library link under src/ points
down the layers.

The layers, top to bottom: src/main.cpp, runtime/, streams/, errors/, text/,
platform/. A file may include headers of its own layer and of the layers
below it, never above. The system headers of Windows come in through
platform/windows_api.h alone, and only files in platform/ include it. Each
layer is one library, tavo_<layer>; the target_link_libraries of
src/<layer>/CMakeLists.txt and of the project's top-level CMakeLists.txt may
name a library of a lower layer (or the same), never one above, whatever the
keyword (PUBLIC, PRIVATE, INTERFACE).

    check_layers.py SRC_DIR      check a tree; exit 1 with one line per fault
    check_layers.py --self-test  plant faults in a scratch tree and see them found
"""
import pathlib
import re
import sys
import tempfile

LAYERS = ["platform", "text", "errors", "streams", "runtime"]  # bottom first
TOP = len(LAYERS)  # src/main.cpp and anything else at the top of src/
WINDOWS_HEADERS = {"windows.h", "winternl.h", "dbghelp.h"}
WINDOWS_GATE = "platform/windows_api.h"
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^">]+)[">]', re.MULTILINE)


def rank(relative_path):
    parts = pathlib.PurePosixPath(relative_path).parts
    if len(parts) > 1 and parts[0] in LAYERS:
        return LAYERS.index(parts[0])
    return TOP if len(parts) == 1 else None


LINK = re.compile(r"\btarget_link_libraries\s*\(([^)]*)\)")
LAYER_LIBRARY = re.compile(r"\btavo_(" + "|".join(LAYERS) + r")\b")


def library_rank(name):
    match = LAYER_LIBRARY.fullmatch(name)
    return LAYERS.index(match.group(1)) if match else None


def link_faults(src):
    """Upward links in the layers' CMakeLists.txt and the top-level one."""
    found = []
    lists = sorted(src.glob("*/CMakeLists.txt")) + [src.parent / "CMakeLists.txt"]
    for path in lists:
        if not path.is_file():
            continue
        folder = path.parent.name if path.parent != src.parent else None
        folder_rank = LAYERS.index(folder) if folder in LAYERS else TOP
        shown = path.relative_to(src.parent).as_posix()
        text = re.sub(r"#[^\n]*", "", path.read_text(encoding="utf-8", errors="replace"))
        for match in LINK.finditer(text):
            target, *items = match.group(1).split()
            own = library_rank(target)
            own = folder_rank if own is None else own
            line = text.count("\n", 0, match.start()) + 1
            for item in items:
                for linked in LAYER_LIBRARY.finditer(item):
                    if LAYERS.index(linked.group(1)) > own:
                        found.append(
                            f"{shown}:{line}: {target} links {linked.group(0)}, a layer "
                            f"above its own ({linked.group(1)} over "
                            f"{LAYERS[own] if own < TOP else 'main'})")
    return found


def faults(src):
    src = pathlib.Path(src)
    found = link_faults(src)
    for path in sorted(src.rglob("*")):
        if path.suffix not in {".h", ".cpp", ".inc"} or not path.is_file():
            continue
        relative = path.relative_to(src).as_posix()
        own = rank(relative)
        if own is None:
            found.append(f"{relative}: in no layer ({', '.join(LAYERS)})")
            continue
        text = path.read_text(encoding="utf-8", errors="replace")
        for match in INCLUDE.finditer(text):
            kind, name = match.groups()
            line = text.count("\n", 0, match.start()) + 1
            if kind == "<":
                if name.lower() in WINDOWS_HEADERS and relative != WINDOWS_GATE:
                    found.append(f"{relative}:{line}: includes <{name}>; use {WINDOWS_GATE}")
                continue
            if name == WINDOWS_GATE and own != 0:
                found.append(f'{relative}:{line}: includes "{name}" outside platform/')
                continue
            target = rank(name)
            if target is None or target == TOP:
                found.append(f'{relative}:{line}: includes "{name}", which is in no layer')
            elif target > own:
                found.append(
                    f'{relative}:{line}: includes "{name}", a layer above its own '
                    f"({LAYERS[target]} over {LAYERS[own] if own < TOP else 'main'})")
    return found


def self_test():
    cases = {
        # (file, text): should the tree pass?
        ("streams/a.h", '#include "errors/b.h"\n#include <string>\n'): True,
        ("main.cpp", '#include "runtime/run_main.h"\n'): True,
        ("errors/a.cpp", '#include "runtime/fatal.h"\n'): False,
        ("platform/a.h", '#include "text/utf8.h"\n'): False,
        ("text/a.cpp", "#include <windows.h>\n"): False,
        ("runtime/a.cpp", '#include "main.h"\n'): False,
        ("tools/a.cpp", "\n"): False,
        ("runtime/CMakeLists.txt",
         "target_link_libraries(tavo_runtime PUBLIC tavo_streams PRIVATE tavo_warnings)\n"): True,
        ("streams/CMakeLists.txt",
         "# target_link_libraries(tavo_streams PUBLIC tavo_runtime)\n"
         "target_link_libraries(tavo_streams PUBLIC tavo_errors\n"
         "  PRIVATE tavo_warnings)\n"
         "if(WIN32)\n  target_link_libraries(tavo_streams INTERFACE tavo_runtime)\nendif()\n"): False,
        ("text/CMakeLists.txt",
         "target_link_libraries(tavo_text PRIVATE $<$<BOOL:1>:tavo_errors>)\n"): False,
        ("platform/a.cpp", '#include "platform/windows_api.h"\n'): True,
        ("runtime/a.cpp", '#include "platform/windows_api.h"\n'): False,
    }
    wrong = 0
    for (name, text), should_pass in cases.items():
        with tempfile.TemporaryDirectory() as scratch:
            path = pathlib.Path(scratch) / name
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_text(text)
            passed = not faults(scratch)
        if passed != should_pass:
            wrong += 1
            print(f"self-test: {name} with {text.strip()!r} "
                  f"{'passed' if passed else 'failed'}, expected otherwise")
    print("self-test: " + ("ok" if wrong == 0 else f"{wrong} wrong"))
    return 1 if wrong else 0


def main(argv):
    if argv[1:] == ["--self-test"]:
        return self_test()
    if len(argv) != 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    found = faults(argv[1])
    for fault in found:
        print(fault)
    print(f"layering: {len(found)} fault(s)")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
