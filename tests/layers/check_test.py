#!/usr/bin/env python3
"""The layer check on small trees of its own: a wrong-way include fails it in every spelling the
compiler accepts, a right-way one passes. Usage: check_test.py PATH_TO_check-layers.py"""
import pathlib
import subprocess
import sys
import tempfile

CHECK = sys.argv[1]

# (the includes of ssf/net/crl.cpp, the exit code the check must give)
CASES = [
    ('#include "ssf/pki/keys.h"', 1),
    ("#include <ssf/pki/keys.h>", 1),
    ('#include "../pki/keys.h"', 1),
    ("#  include<ssf/pki/keys.h>", 1),
    ("#include <ssf/init.h>", 1),  # the top, above every layer
    ('#include "ssf/log.h"\n#include <ssf/log.h>\n#include <openssl/x509.h>', 0),
    ("#include <absent/header.h>", 0),
]


def run(includes):
    with tempfile.TemporaryDirectory() as tmp:
        src = pathlib.Path(tmp)
        for name in ("ssf/log.h", "ssf/init.h", "ssf/pki/keys.h", "ssf/net/crl.h"):
            (src / name).parent.mkdir(parents=True, exist_ok=True)
            (src / name).write_text("#pragma once\n")
        (src / "ssf/pki/keys.cpp").write_text('#include <ssf/net/crl.h>\n#include "ssf/log.h"\n')
        (src / "ssf/net/crl.cpp").write_text(includes + "\n")
        done = subprocess.run([sys.executable, CHECK, "--root", str(src)], capture_output=True,
                              text=True)
        return done.returncode, done.stdout


failed = 0
for includes, want in CASES:
    got, out = run(includes)
    if got != want:
        failed += 1
        print(f"FAIL: {includes!r}: exit {got}, want {want}\n{out}")
sys.exit(1 if failed else 0)
