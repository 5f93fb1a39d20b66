#!/usr/bin/env bash
# The farm test: scripts/slurm-grain-array.sh, as cli/README.md shows it, run
# by a real Slurm on a one-node cluster of this machine (scripts/slurm-local).
#  1. Four tasks over a 12-frame sequence: every frame's hash, from the task
#     logs, equals a single-process render of the same frames.
#  2. A task stopped mid-frame by SIGTERM (as a pre-empting scheduler does) and
#     requeued: it skips the frames it wrote, completes the rest, and the set is
#     complete with every hash right and no temporary file left.
# The cluster is stopped however the test ends, and must leave no daemon.
#
# Usage: slurm_job_array.sh TEXTURIST SOURCE_DIR WORK_DIR   (exit 77: skipped)
set -euo pipefail
texturist=$1
root=$2
work=$3
# The script cli/README.md shows is the one this test runs.
awk '/^A Slurm job array, one task per slice/ {found = 1} found && /^```bash$/ {inside = 1; next}
     inside && /^```$/ {exit} inside' "$root/cli/README.md" | diff - "$root/scripts/slurm-grain-array.sh" ||
  { echo "FAILED: cli/README.md shows another script than scripts/slurm-grain-array.sh" >&2; exit 1; }
if [[ $(id -u) -ne 0 ]]; then
  echo "skipped: the Slurm daemons of this test run as root"
  exit 77
fi

rm -rf "$work"
mkdir -p "$work"/{in,logs,ref}
cluster="$work/cluster"
trap '"$root/scripts/slurm-local" stop "$cluster" || true' EXIT
plate="$root/data/demo/grain-plate.png"
for frame in $(seq 1001 1012); do cp "$root/data/demo/clean.png" "$work/in/clean.$frame.png"; done

fail() {
  echo "FAILED: $*" >&2
  for log in "$work"/logs/*.log; do
    echo "--- $log" >&2
    grep -v '^Progress' "$log" >&2 || true
  done
  exit 1
}
# "HASH  FRAME" lines, one per frame, from --print-hash output.
hashes() { grep -h -E '^[0-9a-f]{16}  ' "$@" | sed -E 's#^([0-9a-f]{16})  .*\.([0-9]{4})\.png$#\1  \2#' | sort -u -k2; }
submit() { # FRAMES OUTPUT SETS sbatch-options...
  local frames=$1 output=$2 sets=$3
  shift 3
  sbatch --parsable --chdir="$work" \
    --export="ALL,TEXTURIST=$texturist,INPUT=in/clean.####.png,NOISE_SOURCE=$plate,OUTPUT=$output,FRAMES=$frames,TEXTURIST_SETS=$sets" \
    "$@" "$root/scripts/slurm-grain-array.sh"
}
finished() { # JOB SECONDS
  for _ in $(seq 1 $(($2 * 10))); do
    [[ -z "$(squeue -h -j "$1" 2>/dev/null)" ]] && return 0
    sleep 0.1
  done
  return 1
}

export SLURM_CONF
SLURM_CONF=$("$root/scripts/slurm-local" start "$cluster")

# 1. The job array, four tasks.
"$texturist" render --quiet --print-hash --input "$work/in/clean.####.png" --noise-source "$plate" \
  --output "$work/ref/ref.####.png" >"$work/reference.txt"
job=$(submit 1001-1012 "out/grain.####.png" "" --array=1-4 --cpus-per-task=1 --output="$work/logs/array-%a.log")
finished "$job" 60 || fail "job $job did not finish within 60 s"
[[ $(hashes "$work"/logs/array-*.log | wc -l) -eq 12 ]] || fail "the tasks did not write 12 frames"
diff <(hashes "$work/reference.txt") <(hashes "$work"/logs/array-*.log) || fail "hashes differ from one process's"
for task in 1 2 3 4; do
  grep -q "done: 3 frames written, 0 skipped" "$work/logs/array-$task.log" || fail "task $task has no summary line"
done
echo "job array: 4 tasks, 12 frames, hashes identical"

# 2. Stopped mid-frame, requeued. Large grain makes each frame take a second or two.
sets="--set Size=80"
"$texturist" render --quiet --print-hash --input "$work/in/clean.####.png" --noise-source "$plate" \
  --output "$work/ref/slow.####.png" --frames 1001-1005 --threads 1 $sets >"$work/slow-reference.txt"
job=$(submit 1001-1005 "slow/grain.####.png" "$sets" --array=1-1 --cpus-per-task=1 --output="$work/logs/slow-%a.log")
for _ in $(seq 1 600); do
  [[ $(hashes "$work/logs/slow-1.log" 2>/dev/null | wc -l) -ge 2 ]] && break
  sleep 0.1
done
[[ $(hashes "$work/logs/slow-1.log" | wc -l) -lt 5 ]] || fail "the task finished before it could be stopped"
scancel --signal=TERM --full "$job"
finished "$job" 30 || fail "the stopped task did not end"
written=$(find "$work/slow" -name 'grain.*.png' | wc -l)
[[ $written -lt 5 ]] || fail "every frame was written before the stop"
# A requeued job waits for the old credential to expire (5 s on this cluster).
scontrol requeue "${job}_1"
finished "$job" 60 || fail "the requeued task did not finish within 60 s"
grep -q "skipping $written of 5 frames" "$work/logs/slow-1.log" || fail "the requeued task did not skip $written frames"
[[ $(find "$work/slow" -name 'grain.*.png' | wc -l) -eq 5 ]] || fail "the sequence is not complete"
diff <(hashes "$work/slow-reference.txt") <(hashes "$work/logs/slow-1.log") || fail "hashes differ after the requeue"
[[ -z "$(find "$work/slow" -name '.*' -o -name '*.tmp')" ]] || fail "a temporary file was left"
echo "requeue: stopped after $written of 5 frames, completed, hashes identical, nothing left behind"

trap - EXIT
"$root/scripts/slurm-local" stop "$cluster" || fail "a daemon outlived the cluster"
echo "1 passed, 0 failed"
