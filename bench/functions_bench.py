#!/usr/bin/env python3
"""Whole-compile benchmark of a generated program of functions: each has
parameters, locals, a loop of plain instructions, calls of earlier functions
in every convention and an early and a final return. Runs the compiler with
the FLAT builder and reports the best wall time of five runs and the peak
memory of the compiler process.

usage: functions_bench.py <build>/bin [count]
"""
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time


def generate(count):
    out = ["program FLAT;"]
    conventions = ["", "cdecl ", ""]
    for i in range(count):
        cc = conventions[i % 3]
        out.append(f"function {cc}F{i}(dword a; dword b = {i % 7}): dword {{")
        out.append("  dword t;")
        out.append("  dword u[4];")
        out.append("  mov eax, a")
        out.append("  mov t, eax")
        out.append("  mov u[2], 5")
        out.append("  cmp eax, b")
        out.append("  je same")
        if i > 0:
            out.append(f"  F{i - 1}(t, b);")
            out.append(f"  F{i // 2}(t);")
        out.append("  add eax, u[2]")
        out.append("  return eax;")
        out.append("  same:")
        out.append("  mov eax, t")
        out.append("}")
    out.append("dword result;")
    out.append(f"result = F{count - 1}(1, 2);")
    out.append("ret")
    return "\n".join(out) + "\n"


def main():
    if len(sys.argv) < 2:
        print(__doc__)
        return 2
    bindir = sys.argv[1]
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 10000
    work = tempfile.mkdtemp()
    try:
        for item in ("vorak", "includes", "plugins"):
            src = os.path.join(bindir, item)
            dst = os.path.join(work, item)
            if os.path.isdir(src):
                shutil.copytree(src, dst)
            else:
                shutil.copy2(src, dst)
        source = generate(count)
        path = os.path.join(work, "p.vor")
        with open(path, "w") as f:
            f.write(source)
        best = None
        for _ in range(5):
            start = time.perf_counter()
            r = subprocess.run([os.path.join(work, "vorak"), path, "-nopause"], cwd=work,
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
            elapsed = time.perf_counter() - start
            if r.returncode != 0 or b"Build Complete" not in r.stdout:
                print(r.stdout.decode(errors="replace")[-2000:])
                return 1
            best = elapsed if best is None else min(best, elapsed)
        peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
        size = os.path.getsize(os.path.join(work, "p.bin"))
        lines = source.count("\n")
        print(f"functions={count} lines={lines} source={len(source)} bytes image={size} bytes "
              f"best={best:.3f} s lines/s={lines / best:,.0f} peak={peak / 1024:.1f} MiB")
        return 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
