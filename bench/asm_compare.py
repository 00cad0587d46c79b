#!/usr/bin/env python3
"""Whole-process comparison of Vorak with the other assemblers installed here.

Generates one large stream of plain 32-bit instruction lines (mov, add, sub,
lea, push, pop, cmp, xor, memory operands, labels and backward jumps) in the
syntax of each assembler (NASM, YASM, FASM, GNU as, Vorak), assembles each
into a flat binary, checks that every output decodes to the same
instructions, and times each whole process (wall time and peak memory, the
median of several runs that alternate between the assemblers, so that all of
them meet the same load of the machine). It then compares the output sizes,
in all and by kind of instruction (mnemonic and operand shape), byte for
byte, runs Vorak and FASM again on the stream at one, two and four times its
length, alternately, to show how the cost grows, and prints the SHA-256 of Vorak's output
for each length, so that a change to the compiler can be checked to leave
every output byte as it was.

    bench/asm_compare.py --vorak build-rel/bin/vorak [--lines 500000] [--runs 5] [--no-scaling]

With --structured it also compiles, with Vorak alone, a generated stream of
structured statements (nested if/elseif/else, while and case blocks with
register statements inside) of the same number of lines, and compares its
time per emitted instruction with the plain stream's.

Jumps are compared by mnemonic only: the assemblers pick their own jump
forms (their sizes are compared by kind). Any NOP in an output is counted as
a kind of its own; the source writes none.
"""
import argparse
import hashlib
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import statistics
import time

REGS = ["eax", "ebx", "ecx", "edx", "esi", "edi", "ebp"]
COND = ["jne", "je", "jb", "jae", "jl", "jg"]


def generate(lines, seed=7):
    """A list of (kind, fields) statements, independent of syntax."""
    rng = random.Random(seed)
    out = []
    labels = 0
    for i in range(lines):
        if i % 50 == 0:
            out.append(("label", "L%d" % labels))
            labels += 1
            continue
        if i % 50 == 49 and labels:
            out.append(("jump", rng.choice(COND), "L%d" % rng.randrange(max(0, labels - 3), labels)))
            continue
        r1, r2, r3 = rng.choice(REGS), rng.choice(REGS), rng.choice(REGS[:6])
        disp = rng.choice([0, 4, 8, 16, 124, 256, 4096])
        k = rng.randrange(12)
        if k == 0:
            out.append(("ins", "mov", r1, r2))
        elif k == 1:
            out.append(("ins", "mov", r1, ("mem", r2, None, 1, disp)))
        elif k == 2:
            out.append(("ins", "mov", ("mem", r2, None, 1, disp), r1))
        elif k == 3:
            out.append(("ins", "add", r1, rng.choice([1, 100, 1000, 70000])))
        elif k == 4:
            out.append(("ins", "add", r1, r2))
        elif k == 5:
            out.append(("ins", "sub", r1, ("mem", r2, None, 1, disp)))
        elif k == 6:
            out.append(("ins", "lea", r1, ("mem", r2, r3, rng.choice([1, 2, 4, 8]), disp)))
        elif k == 7:
            out.append(("ins", "push", r1))
        elif k == 8:
            out.append(("ins", "pop", r1))
        elif k == 9:
            out.append(("ins", "cmp", r1, rng.choice([0, 5, 300])))
        elif k == 10:
            out.append(("ins", "cmp", r1, ("mem", r2, None, 1, disp)))
        else:
            out.append(("ins", "xor", r1, r2))
    return out


STRUCT_REGS = ["eax", "ebx", "ecx", "edx", "esi", "edi"]
FLAGS = ["carry_flag", "zero_flag", "sign_flag", "overflow_flag"]


def generate_structured(lines, seed=11):
    """Vorak source of about `lines` lines: nested if/elseif/else, while and
    case statements whose bodies are register statements."""
    rng = random.Random(seed)
    out = ["program FLAT;"]

    def reg():
        return rng.choice(STRUCT_REGS)

    def comparison():
        op = rng.choice(["==", "!=", "<", ">", "<=", ">="])
        right = rng.choice([str(rng.randrange(0, 300)), reg()])
        return "(%s %s %s)" % (reg(), op, right)

    def condition():
        k = rng.randrange(4)
        if k == 0:
            return "(%s and %s)" % (comparison(), comparison())
        if k == 1:
            return "(%s or %s)" % (comparison(), comparison())
        return comparison()

    def register_statement(ind):
        r = reg()
        k = rng.randrange(12)
        if k == 0:
            s = "%s = %s + %d - %s;" % (r, rng.choice([x for x in STRUCT_REGS if x != r]), rng.randrange(1, 99),
                                        rng.choice([x for x in STRUCT_REGS if x != r]))
        elif k == 1:
            s = "%s = 0;" % r
        elif k == 2:
            s = "%s += %d;" % (r, rng.randrange(1, 1000))
        elif k == 3:
            s = "%s -= %s;" % (r, reg())
        elif k == 4:
            s = "%s++;" % r
        elif k == 5:
            s = "%s << %d;" % (r, rng.randrange(1, 8))
        elif k == 6:
            s = "%s &= 0x%x;" % (r, rng.randrange(1, 0xFFFF))
        elif k == 7:
            s = "%s = %s;" % (r, rng.choice(FLAGS))
        elif k == 8:
            s = "dword [%s + %d] += %s;" % (r, 4 * rng.randrange(0, 16), reg())
        elif k == 9:
            s = "%s *= %s;" % (r, reg())
        elif k == 10:
            s = "%s = ~%s;" % (r, reg())
        else:
            s = "mov %s, [%s + %d]" % (r, reg(), 4 * rng.randrange(0, 16))
        out.append(ind + s)

    def body(depth, ind, n):
        for _ in range(n):
            if depth < 3 and rng.randrange(4) == 0:
                block(depth + 1, ind)
            else:
                register_statement(ind)

    def block(depth, ind):
        k = rng.randrange(3)
        inner = ind + "  "
        if k == 0:
            out.append(ind + "if %s {" % condition())
            body(depth, inner, rng.randrange(2, 6))
            if rng.randrange(2):
                out.append(ind + "} elseif %s {" % condition())
                body(depth, inner, rng.randrange(1, 4))
            out.append(ind + "} else {")
            body(depth, inner, rng.randrange(1, 4))
            out.append(ind + "}")
        elif k == 1:
            out.append(ind + "while %s {" % condition())
            body(depth, inner, rng.randrange(2, 6))
            out.append(ind + "}")
        else:
            out.append(ind + "case (%s) {" % reg())
            for value in range(rng.randrange(2, 5)):
                out.append(ind + "state %d%s:" % (value, ", %d" % (value + 100) if rng.randrange(3) == 0 else ""))
                body(depth, inner, rng.randrange(1, 4))
                out.append(inner + "break;")
            out.append(ind + "default:")
            body(depth, inner, 1)
            out.append(ind + "}")

    while len(out) < lines:
        block(0, "")
    out.append("ret")
    return "\n".join(out) + "\n"


def mem_text(m):
    _, base, index, scale, disp = m
    s = base
    if index:
        s += "+" + index + ("*%d" % scale if scale != 1 else "")
    if disp:
        s += "+%d" % disp
    return "[" + s + "]"


def operand(o):
    if isinstance(o, tuple):
        return mem_text(o)
    return str(o)


def render(stmts, header, footer, label_fmt="{}:"):
    parts = [header]
    for s in stmts:
        if s[0] == "label":
            parts.append(label_fmt.format(s[1]))
        elif s[0] == "jump":
            parts.append("  %s %s" % (s[1], s[2]))
        else:
            parts.append("  %s %s" % (s[1], ", ".join(operand(o) for o in s[2:])))
    parts.append(footer)
    return "\n".join(parts) + "\n"


def sources(stmts):
    return {
        "vorak": ("prog.vor", render(stmts, "program FLAT;", "")),
        "nasm": ("prog.asm", render(stmts, "bits 32", "")),
        "yasm": ("prog.asm", render(stmts, "bits 32", "")),
        "fasm": ("prog.asm", render(stmts, "use32", "")),
        "gas": ("prog.s", render(stmts, ".intel_syntax noprefix\n.code32\n.text", "")),
    }


def commands(tool, src, out, vorak):
    return {
        "vorak": [vorak, src, "-out", out[:-4], "-nopause"],
        "nasm": ["nasm", "-f", "bin", "-o", out, src],
        "yasm": ["yasm", "-f", "bin", "-o", out, src],
        "fasm": ["fasm", "-m", "262144", src, out],  # its default 16 MB of work memory is too small
        "gas": ["as", "--32", "-o", out + ".o", src],
    }[tool]


def run(cmd, cwd):
    """Runs one whole process; returns (seconds, peak RSS in KiB).

    GNU time measures the process: a child forked from this script would
    count the script's own memory in its peak until it execs."""
    with tempfile.NamedTemporaryFile(mode="r", suffix=".time") as report:
        start = time.perf_counter()
        proc = subprocess.run(["/usr/bin/time", "-o", report.name, "-f", "%e %M"] + cmd, cwd=cwd,
                              stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        seconds = time.perf_counter() - start
        if proc.returncode != 0:
            raise RuntimeError("%s failed (exit code %d)" % (" ".join(cmd), proc.returncode))
        rss = report.read().split()[-1]
    return seconds, int(rss)


def flat_bytes(tool, out, cwd):
    path = os.path.join(cwd, out)
    if tool == "gas":
        subprocess.run(["objcopy", "-O", "binary", "-j", ".text", path + ".o", path], check=True, cwd=cwd)
    with open(path, "rb") as f:
        return f.read()


def shape(ins):
    """The kind of an instruction: its mnemonic and the classes of its
    operands (r register, i immediate, m memory), "jcc" for the jumps."""
    parts = ins.split(" ", 1)
    if parts[0].startswith("j"):
        return "jcc"
    if parts[0] in ("nop", "xchg") and (len(parts) == 1 or parts[1] == "ax,ax" or parts[0] == "nop"):
        return "nop"
    ops = parts[1].split(",") if len(parts) > 1 else []
    cls = "".join("m" if "[" in o else "i" if re.match(r"^-?(0x)?[0-9a-f]+$", o.strip()) else "r" for o in ops)
    return parts[0] + " " + cls if cls else parts[0]


def decode(code):
    """(text, kind, length) of every instruction; texts without jump targets
    and with NOPs left out, so that the outputs compare."""
    with tempfile.NamedTemporaryFile(suffix=".bin") as f:
        f.write(code)
        f.flush()
        text = subprocess.run(["objdump", "-D", "-b", "binary", "-m", "i386", "-M", "intel", "--insn-width=16",
                               f.name], check=True, capture_output=True, text=True).stdout
    result = []
    for line in text.splitlines():
        m = re.match(r"\s*[0-9a-f]+:\s+((?:[0-9a-f]{2} )+)\s*(.*)$", line)
        if not m or not m.group(2):
            continue
        length = len(m.group(1).split())
        ins = re.sub(r"\s+", " ", m.group(2).strip())
        kind = shape(ins)
        if ins.startswith("j"):
            ins = ins.split()[0]
        ins = ins.replace("DWORD PTR ", "")
        result.append((ins, kind, length))
    return result


def texts(decoded):
    return [ins for ins, kind, _ in decoded if kind != "nop"]


def sizes_by_kind(decoded):
    by = {}
    for _, kind, length in decoded:
        count, total = by.get(kind, (0, 0))
        by[kind] = (count + 1, total + length)
    return by


def write_sources(work, stmts, tools):
    """Writes each tool's source into its own folder; returns the folders."""
    srcs = sources(stmts)
    dirs = {}
    for tool in tools:
        cwd = os.path.join(work, tool)
        os.makedirs(cwd, exist_ok=True)
        name, text = srcs[tool]
        with open(os.path.join(cwd, name), "w") as f:
            f.write(text)
        dirs[tool] = (cwd, name)
    return dirs, len(srcs["vorak"][1])


def measure_jobs(jobs, runs, vorak):
    """Median wall time and median peak memory of each job (key: (tool, cwd,
    source name)); the runs alternate between the jobs."""
    times = {k: [] for k in jobs}
    rss = {k: [] for k in jobs}
    for _ in range(runs):
        for key, (tool, cwd, name) in jobs.items():
            seconds, kib = run(commands(tool, name, "out.bin", vorak), cwd)
            times[key].append(seconds)
            rss[key].append(kib)
    return {k: (statistics.median(times[k]), statistics.median(rss[k])) for k in jobs}


def measure(tools, dirs, runs, vorak):
    """Median wall time and median peak memory of each tool; the runs
    alternate between the tools."""
    return measure_jobs({t: (t, dirs[t][0], dirs[t][1]) for t in tools}, runs, vorak)


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--vorak", required=True)
    ap.add_argument("--lines", type=int, default=500000)
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--no-scaling", action="store_true", help="skip the runs at 2x and 4x the length")
    ap.add_argument("--structured", action="store_true",
                    help="also time a structured stream against the plain one (Vorak only)")
    args = ap.parse_args()
    vorak = os.path.abspath(args.vorak)
    tools = ["vorak"] + [t for t, exe in (("nasm", "nasm"), ("yasm", "yasm"), ("fasm", "fasm"), ("gas", "as"))
                         if shutil.which(exe)]
    stmts = generate(args.lines)
    results = {}
    sizes = {}
    reference = None
    checksums = []
    scaling = []
    with tempfile.TemporaryDirectory() as work:
        dirs, size = write_sources(os.path.join(work, "x1"), stmts, tools)
        timing = measure(tools, dirs, args.runs, vorak)
        for tool in tools:
            cwd, _ = dirs[tool]
            image = flat_bytes(tool, "out.bin", cwd)
            if tool == "vorak":
                checksums.append((args.lines, len(image), sha256(image)))
            decoded = decode(image)
            if reference is None:
                reference = texts(decoded)
            same = texts(decoded) == reference
            results[tool] = (timing[tool][0], timing[tool][1], len(texts(decoded)), same)
            sizes[tool] = (len(image), sizes_by_kind(decoded))
        if not args.no_scaling:
            # The three lengths are timed in one alternating series, so that
            # each ratio compares runs of the same moment.
            pair = [t for t in ("vorak", "fasm") if t in tools]
            jobs = {(t, 1): (t, dirs[t][0], dirs[t][1]) for t in pair}
            scaled = {}
            for factor in (2, 4):
                d, _ = write_sources(os.path.join(work, "x%d" % factor), generate(args.lines * factor), pair)
                scaled[factor] = d
                jobs.update({(t, factor): (t, d[t][0], d[t][1]) for t in pair})
            timed = measure_jobs(jobs, args.runs, vorak)
            for factor in (2, 4):
                image = flat_bytes("vorak", "out.bin", scaled[factor]["vorak"][0])
                checksums.append((args.lines * factor, len(image), sha256(image)))
                scaling.append((factor, args.lines * factor,
                                {t: (timed[(t, factor)], timed[(t, 1)]) for t in pair}))
    print("%d lines, %.1f MB of Vorak source" % (args.lines, size / 1e6))
    print("| Assembler | Wall time (median of %d) | Peak memory | Instructions | Same as Vorak |" % args.runs)
    print("|---|---|---|---|---|")
    for tool, (s, rss, n, same) in results.items():
        print("| %s | %.3f s | %.1f MiB | %d | %s |" % (tool, s, rss / 1024, n, "yes" if same else "NO"))
    if "fasm" in results:
        print()
        print("Vorak's wall time is %.2f of FASM's." % (results["vorak"][0] / results["fasm"][0]))
    if scaling:
        print()
        print("Growth with the length (median of %d, the three lengths run alternately; ratios to the"
              " plain length in the same series):" % args.runs)
        print("| Lines | Assembler | Wall time | Time ratio | Peak memory | Memory ratio |")
        print("|---|---|---|---|---|---|")
        for factor, lines, timed in scaling:
            for tool, ((t, rss), (t1, rss1)) in timed.items():
                print("| %d | %s | %.3f s | %.2fx | %.1f MiB | %.2fx |" % (
                    lines, tool, t, t / t1, rss / 1024, rss / rss1))
    print()
    print("SHA-256 of Vorak's output:")
    print("| Lines | Bytes | SHA-256 |")
    print("|---|---|---|")
    for lines, n, digest in checksums:
        print("| %d | %d | %s |" % (lines, n, digest))
    print()
    print("Output size in bytes, in all and by kind of instruction (count of that kind in Vorak's output):")
    print("| Kind | Count | " + " | ".join(results) + " |")
    print("|---|---|" + "---|" * len(results))
    print("| whole output | | " + " | ".join(str(sizes[t][0]) for t in results) + " |")
    kinds = sorted(set(k for t in results for k in sizes[t][1]))
    for kind in kinds:
        count = sizes["vorak"][1].get(kind, (0, 0))[0]
        cells = [str(sizes[t][1].get(kind, (0, 0))[1]) for t in results]
        print("| %s | %d | %s |" % (kind, count, " | ".join(cells)))
    if args.structured:
        structured(vorak, args.lines, args.runs, results["vorak"])
    if not all(r[3] for r in results.values()):
        sys.exit(1)


def structured(vorak, lines, runs, plain):
    """Times the structured stream (median of the runs) and compares its time
    per emitted instruction with the plain stream's; prints the SHA-256 of
    its output."""
    text = generate_structured(lines)
    with tempfile.TemporaryDirectory() as cwd:
        with open(os.path.join(cwd, "prog.vor"), "w") as f:
            f.write(text)
        timed = measure(["vorak"], {"vorak": (cwd, "prog.vor")}, runs, vorak)["vorak"]
        image = flat_bytes("vorak", "out.bin", cwd)
        count = len(texts(decode(image)))
    plain_per = plain[0] / plain[2]
    struct_per = timed[0] / count
    print()
    print("| Vorak stream | Lines | Wall time (median of %d) | Peak memory | Instructions | Time per instruction |" % runs)
    print("|---|---|---|---|---|---|")
    print("| plain | %d | %.3f s | %.1f MiB | %d | %.0f ns |" % (lines, plain[0], plain[1] / 1024, plain[2], plain_per * 1e9))
    print("| structured | %d | %.3f s | %.1f MiB | %d | %.0f ns |" % (text.count("\n"), timed[0], timed[1] / 1024, count,
                                                                      struct_per * 1e9))
    print("Structured / plain time per instruction: %.2f" % (struct_per / plain_per))
    print("SHA-256 of the structured stream's output: %d bytes, %s" % (len(image), sha256(image)))


if __name__ == "__main__":
    main()
