#!/usr/bin/env python3
"""Includes run one way: a source file under src/ includes only headers of its own folder or of a
layer below its own, never of one above or of a sibling on its level. Prints each include that
breaks the rule and exits 1; exits 0 when there is none.

The layers, bottom to top (the folder tree reads the same way):
  gost                     the GOST algorithm library (standard C++ only)
  cryptoext                the object map and our additions to the crypto library
  platform                 the stand-ins for the Windows services and the one ini reader
  platform/capi            the CryptoAPI stand-in, which reads its directory with that reader
  engines/common           what the engines share; no single engine
  engines/gost             the "gost" engine
  engines/rand, engines/pkcs11, engines/mscryptoapi   the engines built on it (siblings)
  engines                  the loader of them all
  ssf (frame)              the interface's frame: log, configuration, codes, records, lists,
                           Base64, encode/decode, utilities
  ssf/net                  network clients that know nothing of keys
  ssf/pki                  keys and certificates
  ssf/cades                CAdES
  ssf/pkcs7                the workers behind the exports
  ssf (exports, start-up)  the interface's top: the exports and the library's start-up
"""
import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent / "src"

# Folder (relative to src/) -> rank; siblings share a rank and may not include each other.
FOLDERS = {
    "gost": 0,
    "cryptoext": 1,
    "platform": 2,
    "platform/capi": 2.5,
    "engines/common": 3,
    "engines/gost": 4,
    "engines/rand": 5,
    "engines/pkcs11": 5,
    "engines/mscryptoapi": 5,
    "engines": 6,
    "ssf": 7,
    "ssf/net": 8,
    "ssf/pki": 9,
    "ssf/cades": 10,
    "ssf/pkcs7": 11,
}
# The interface's top lives beside its frame in src/ssf/ but sits above every layer.
SSF_TOP = {"ssf/exports.cpp", "ssf/exports.h", "ssf/init.cpp", "ssf/init.h", "ssf/dll_entry.cpp",
           "ssf/dllmain.cpp"}
TOP_RANK = 12

# Both spellings: src/ is on the include path, so <ssf/pki/keys.h> reaches the same header as
# "ssf/pki/keys.h". An angle-bracket name is looked for under src/ only, as the compiler does.
INCLUDE = re.compile(r'^\s*#\s*include\s*(?:"([^"]+)"|<([^>]+)>)', re.M)


def place(rel):
    """(rank, folder) of a file given relative to src/."""
    if rel in SSF_TOP:
        return TOP_RANK, "ssf(top)"
    folder = str(pathlib.PurePosixPath(rel).parent)
    if folder not in FOLDERS:
        raise SystemExit(f"check-layers: {rel}: folder '{folder}' has no layer; add it")
    return FOLDERS[folder], folder


def main(argv):
    root = ROOT
    if len(argv) == 3 and argv[1] == "--root":
        root = pathlib.Path(argv[2]).resolve()
    elif len(argv) != 1:
        raise SystemExit("usage: check-layers.py [--root SRC_DIR]")
    bad = []
    for path in sorted(root.rglob("*")):
        if path.suffix not in (".h", ".cpp", ".c", ".inc", ".S") or not path.is_file():
            continue
        rel = path.relative_to(root).as_posix()
        rank, folder = place(rel)
        for quoted, angled in INCLUDE.findall(path.read_text(encoding="utf-8", errors="replace")):
            candidates = [path.parent / quoted, root / quoted] if quoted else [root / angled]
            target = next((c.resolve() for c in candidates if c.is_file()), None)
            if target is None or not target.is_relative_to(root):
                continue  # a system header
            trel = target.relative_to(root).as_posix()
            trank, tfolder = place(trel)
            if tfolder == folder or trank < rank:
                continue
            bad.append(f"{rel}: includes {trel}, a layer "
                       f"{'above' if trank > rank else 'beside'} its own")
    for line in bad:
        print(line)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
