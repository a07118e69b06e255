#!/bin/sh
# Kill soak: N SIGKILLs (default 200) of xrfresults storing small batches of
# results with pictures and exporting, on one data folder, each at a random
# moment. A final store and export let everything finish; then every accepted result
# must be stored exactly once, the database whole, no queue or temporary
# file left, every picture row naming a file and no picture without a row.
#
# Accepted: the results of a store that ran to its end, and every result
# that was seen stored or in a queue file after a kill.
#
#   bench/soak-kill.sh [N]     (BUILD=dir picks the build, SOAK_SEED replays)
cd "$(dirname "$0")/.." || exit 2
exec python3 - "${1:-200}" "${BUILD:-build}" "${SOAK_SEED:-}" <<'EOF'
import copy, glob, json, os, random, shutil, signal, sqlite3, subprocess, sys, tempfile, time
from datetime import datetime, timedelta

kills_wanted, build, seed = int(sys.argv[1]), sys.argv[2], sys.argv[3]
seed = int(seed) if seed else random.randrange(100000)
rng = random.Random(seed)
xr = os.path.abspath(os.path.join(build, "bin", "xrfresults"))
if not os.access(xr, os.X_OK):
    sys.exit("soak-kill: no %s; build first" % xr)
work = tempfile.mkdtemp(prefix="soak-kill-")
data = os.path.join(work, "data")
samples = sorted(glob.glob("samples/*.json"))
templates = [json.load(open(p)) for p in samples]
env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
env.pop("XRF_CRASH_POINT", None)
env.pop("XRF_FAULT_POINT", None)

def key(analysis):
    return (analysis["testDateTime"], analysis["tidName"])

batches = []  # per batch: its folder and the keys of its results
def make_batch(b):
    folder = os.path.join(work, "in", "b%d" % b)
    os.makedirs(os.path.join(folder, "images"))
    keys = []
    for k in range(3):
        n = 3 * b + k
        r = copy.deepcopy(templates[n % len(templates)])
        when = datetime(2026, 2, 1) + timedelta(minutes=97 * n, milliseconds=n)
        r["analysis"]["testDateTime"] = when.strftime("%Y-%m-%d %H:%M:%S.%f")[:-3]
        r["analysis"]["tidName"] = ("O'S%d" if n % 7 == 0 else "S%d") % n
        for j, image in enumerate(r.get("images", [])):
            name = "cam-%d-%d.jpeg" % (n, j)
            shutil.copy(os.path.join("samples", "images", image["fileName"]),
                        os.path.join(folder, "images", name))
            image["fileName"] = name
        json.dump(r, open(os.path.join(folder, "r%d.json" % k), "w"))
        keys.append(key(r["analysis"]))
    batches.append((folder, keys))

def run(args, kill_after=None):
    """Runs xrfresults; True when it was killed before it ended."""
    p = subprocess.Popen([xr, "--data", data] + args, env=env, stdin=subprocess.DEVNULL,
                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    try:
        _, err = p.communicate(timeout=kill_after if kill_after is not None else 300)
    except subprocess.TimeoutExpired:
        p.send_signal(signal.SIGKILL)
        p.communicate()
        if kill_after is None:
            sys.exit("soak-kill: xrfresults %s hung (seed %d, kept %s)" % (" ".join(args), seed, work))
        return True, ""
    if p.returncode != 0:
        sys.exit("soak-kill: xrfresults %s exited %d (seed %d, kept %s):\n%s"
                 % (" ".join(args), p.returncode, seed, work, err.decode()[-2000:]))
    return False, ""

db_glob = os.path.join(data, "db", "*.sqlite")
def stored_rows():
    files = glob.glob(db_glob)
    if not files:
        return []
    con = sqlite3.connect(files[0])  # read-write: a hot journal is rolled back
    rows = con.execute("SELECT testDateTime, tidName FROM analysisresult").fetchall()
    con.close()
    return rows

accepted, attempted = set(), set()
def observe():
    for row in stored_rows():
        accepted.add(tuple(row))
    for path in glob.glob(os.path.join(data, "resultQueue", "*_*.json")):
        try:
            accepted.add(key(json.load(open(path))["result"]["analysis"]))
        except (ValueError, KeyError, OSError):
            pass  # judged at the end: nothing may be left in the queue

kills = stores = exports = 0
started = time.time()
while kills < kills_wanted:
    if stores == 0 or rng.random() < 0.7:
        # A new batch, or again one whose store was cut off.
        cut = [b for b in range(len(batches)) if not batches[b][1][0] in accepted]
        if cut and rng.random() < 0.25:
            b = rng.choice(cut)
        else:
            b = len(batches)
            make_batch(b)
        attempted.update(batches[b][1])
        stores += 1
        killed, _ = run(["store", batches[b][0]], rng.uniform(0.02, 1.2))
        if not killed:
            accepted.update(batches[b][1])
    else:
        exports += 1
        fmt = rng.choice(["csv", "json,csv", "csv,msa", "json"])
        killed, _ = run(["export", "--all", "--format", fmt] + (["--zip"] if rng.random() < 0.3
                                                                 else []),
                        rng.uniform(0.02, 1.0))
    kills += killed
    if killed:
        observe()

# The final runs let everything finish: the queue, and an export.
empty = os.path.join(work, "empty")
os.makedirs(empty)
run(["store", empty])
run(["export", "--all", "--format", "csv"])

problems = []
con = sqlite3.connect(glob.glob(db_glob)[0])
check = [r[0] for r in con.execute("PRAGMA integrity_check")]
if check != ["ok"]:
    problems.append("integrity check: " + " ".join(check))
counts = {}
for row in con.execute("SELECT testDateTime, tidName FROM analysisresult"):
    counts[tuple(row)] = counts.get(tuple(row), 0) + 1
lost = sorted(accepted - set(counts))
duplicated = sorted(k for k, n in counts.items() if n > 1)
unknown = sorted(set(counts) - attempted)
for k in lost:
    problems.append("lost: %s %s" % k)
for k in duplicated:
    problems.append("stored %d times: %s %s" % (counts[k], k[0], k[1]))
for k in unknown:
    problems.append("stored but never added: %s %s" % k)

images = os.path.join(data, "images")
named = set(r[0] for r in con.execute("SELECT fileName FROM imageresult"))
con.close()
on_disk = set(os.path.relpath(os.path.join(d, f), images)
              for d, _, fs in os.walk(images) for f in fs)
for name in sorted(named - on_disk):
    problems.append("image row names a missing file: " + name)
for name in sorted(on_disk - named):
    problems.append("image file no row names: " + name)
for d, subdirs, files in os.walk(data):
    for f in files + subdirs:
        path = os.path.relpath(os.path.join(d, f), data)
        if path.startswith("resultQueue/") or f.startswith((".", "qt_temp")) \
                or f.endswith(("-journal", ".part")) or ".json." in f or f.startswith("results_"):
            problems.append("left behind: " + path)

print("%d kills, %d lost, %d duplicated (%d stores, %d exports, %d of %d results accepted, "
      "%d stored, %.0f s, seed %d)" % (kills, len(lost), len(duplicated), stores, exports,
                                       len(accepted), len(attempted), len(counts),
                                       time.time() - started, seed))
if problems:
    print("\n".join(problems[:50]))
    print("data kept in", work)
    sys.exit(1)
shutil.rmtree(work)
EOF
