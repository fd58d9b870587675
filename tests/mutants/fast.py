#!/usr/bin/env python3
"""fast.py REPO MUTANTS.py [ID...]: mutate.py's run, for the tests of one area alone.

As /work/shared/mutate.py (M = list of (id, old, new, description), `old` found exactly once under
mailbox/, tools/ and headers/ *.cpp, one mutant seeded at a time into a clone of REPO's committed
HEAD), but quicker for a run of many mutants on a small machine:
  - one scratch clone is kept between runs (MUTATE_WORK, default /tmp/fastmut-NAME, NAME the
    repository's directory name), brought to REPO's HEAD and rebuilt in place, the compiler behind
    ccache (CCACHE_BASEDIR the clone), so a mutant costs the one file it touches and the links;
  - only `ctest -R "$MUTATE_R"` runs (MUTATE_R='.' for the whole suite), stopping at the first
    failure; the tests it picks that also match MUTATE_SLOW run only once the others have passed
    (not at all with MUTATE_NOSLOW=1, for a first pass).
Same output: one line a mutant, id  file:line  KILLED|SURVIVED|BUILDFAIL|NOMATCH  description
first failing tests  seconds, and a total."""
import glob, os, re, runpy, subprocess, sys, time, types

if len(sys.argv) < 3:
    sys.exit(__doc__)
repo_src, mfile, only = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2]), set(sys.argv[3:])
R = os.environ.get("MUTATE_R", "Undo|Receipt|Fence|Update|PowerCut.Undo|Rerun|Seed|Plain")
SLOW = os.environ.get("MUTATE_SLOW", "PowerCut|MillionRecords|BatchSeed|UpdateInterrupted")
mod = types.SimpleNamespace(**runpy.run_path(mfile))
work = os.environ.get("MUTATE_WORK", "/tmp/fastmut-" + os.path.basename(repo_src.rstrip("/")))
repo = os.path.join(work, "repo")
env = dict(os.environ, CCACHE_BASEDIR=repo)
os.makedirs(work, exist_ok=True)
if os.path.isdir(os.path.join(repo, ".git")):
    subprocess.run(["git", "fetch", "-q", repo_src, "HEAD"], cwd=repo, check=True)
    subprocess.run(["git", "reset", "-q", "--hard", "FETCH_HEAD"], cwd=repo, check=True)
else:
    subprocess.run(["git", "clone", "-q", repo_src, repo], check=True)
if not os.path.isfile(os.path.join(repo, "build", "CMakeCache.txt")):
    subprocess.run(["cmake", "--preset", "default", "-DCMAKE_CXX_COMPILER_LAUNCHER=ccache"], cwd=repo,
                   capture_output=True, check=True, env=env)


def build():
    return subprocess.run(["cmake", "--build", "build", "-j2"], cwd=repo, capture_output=True,
                          text=True, env=env)


def ctest(*sel):
    t = subprocess.run(["ctest", "--test-dir", "build", "-j2", "--timeout", "240",
                        "--stop-on-failure", *sel], cwd=repo, capture_output=True, text=True)
    # Only the failures: a test skipped here is listed too, under "did not run".
    failed = t.stdout.split("The following tests FAILED:", 1)
    return t, re.findall(r"^\s*\d+ - (\S+) \(", failed[1], re.M) if len(failed) > 1 else []


if build().returncode:
    sys.exit("the unmutated build fails")
# The tests -R picks that are slow, by number, for the second round.
listed = subprocess.run(["ctest", "--test-dir", "build", "-N"], cwd=repo, capture_output=True, text=True)
slow = [n for n, name in re.findall(r"Test +#(\d+): (\S+)", listed.stdout)
        if SLOW and re.search(R, name) and re.search(SLOW, name)]
files = sorted(f for d in ("mailbox", "tools", "tools/*", "headers") for f in glob.glob(os.path.join(repo, d, "*.cpp")))
killed = survived = 0
for mid, old, new, desc in mod.M:
    if only and mid not in only:
        continue
    texts = {f: open(f).read() for f in files}
    hits = [f for f, t in texts.items() if old in t]
    if len(hits) != 1 or texts[hits[0]].count(old) != 1:
        print(f"{mid}\t-\tNOMATCH ({sum(t.count(old) for t in texts.values())})\t{desc}", flush=True)
        continue
    f = hits[0]; text = texts[f]
    line = text[:text.index(old)].count("\n") + 1
    open(f, "w").write(text.replace(old, new))
    t0 = time.time(); why = ""
    try:
        b = build()
        if b.returncode:
            out = "BUILDFAIL"
            why = " ".join(l for l in b.stdout.splitlines() if "error" in l)[:200]
        else:
            t, fails = ctest("-R", R, "-E", SLOW) if SLOW else ctest("-R", R)
            if slow and not fails and t.returncode == 0 and not os.environ.get("MUTATE_NOSLOW"):
                t, fails = ctest("-I", "0,0,0," + ",".join(slow))
            out = "KILLED" if fails or t.returncode else "SURVIVED"
            why = " ".join(fails[:3])
            killed += out == "KILLED"; survived += out == "SURVIVED"
    finally:
        open(f, "w").write(text)
    print(f"{mid}\t{os.path.relpath(f, repo)}:{line}\t{out}\t{desc}\t{why}\t{time.time() - t0:.0f}s", flush=True)
print(f"{killed} of {killed + survived} killed ({100 * killed // max(killed + survived, 1)}%)")
