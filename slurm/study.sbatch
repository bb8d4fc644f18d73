#!/bin/bash
#SBATCH --job-name=ompsuite-study
#SBATCH --nodes=1
#SBATCH --ntasks=1
#SBATCH --exclusive
#SBATCH --mem=0
#SBATCH --time=01:00:00
#SBATCH --requeue
#
# The scaling study on one whole node.
#
#   cd CHECKOUT && sbatch [sbatch options] slurm/study.sbatch STUDY_ROOT [study options]
#
# STUDY_ROOT (relative to the submit folder) receives one folder per job, named
# HOST-JOBID-DATE (HOST-ARRAYJOBID_TASKID-DATE for array tasks). The study options pass through
# unchanged, after a --threads list of 1, 2, 4, ... and the node's core count (a later --threads
# wins). The job runs on a private copy of the checkout in $TMPDIR, so that each node builds the
# programs for its own processor and jobs on different node types never share a build tree; the
# copy is removed at the end. An installed suite (OMPSUITE_ROOT from its module) runs in place,
# its portable programs as installed, and makes its reduced builds in $TMPDIR instead. The
# checkout is found from OMPSUITE_ROOT when set, otherwise from
# the submit folder or one of its parents (Slurm runs a spooled copy of this script, so its own
# path says nothing). The job's exit status is the study's.
#
# A job that is requeued (after a node failure, or by scontrol requeue when it meets its time
# limit) resumes its study: the folder of its earlier start is continued with --resume, keeping
# every run made there (the programs built anew in its private copy are the same binaries: the
# study checks their digests).
set -uo pipefail

fail() {
  echo "study.sbatch: $*" >&2
  exit 2
}

is_checkout() {
  [[ -f $1/slurm/study.sbatch && -x $1/scaling ]]
}

find_checkout() {
  local d
  if [[ -n ${OMPSUITE_ROOT:-} ]]; then
    is_checkout "$OMPSUITE_ROOT" || fail "OMPSUITE_ROOT=$OMPSUITE_ROOT is not a checkout of the suite"
    (cd "$OMPSUITE_ROOT" && pwd)
    return
  fi
  # Run with plain bash (outside Slurm), the script's own folder is in the checkout.
  for d in "${SLURM_SUBMIT_DIR:-$PWD}" "$(dirname "${BASH_SOURCE[0]}")/.."; do
    d=$(cd "$d" 2>/dev/null && pwd) || continue
    while :; do
      if is_checkout "$d"; then
        echo "$d"
        return
      fi
      [[ $d == / ]] && break
      d=$(dirname "$d")
    done
  done
  fail "cannot find the suite's checkout from ${SLURM_SUBMIT_DIR:-$PWD}: submit from inside it or set OMPSUITE_ROOT"
}

thread_list() {
  local n=$1 t=1 list=""
  while ((t < n)); do
    list+="$t,"
    t=$((t * 2))
  done
  echo "$list$n"
}

(($# >= 1)) && [[ $1 != -* ]] || fail "usage: sbatch slurm/study.sbatch STUDY_ROOT [study options]"
study_root=$1
shift
for arg in "$@"; do
  [[ $arg == --out || $arg == --out=* ]] && fail "--out is not taken: the job names its folder under STUDY_ROOT"
done

repo=$(find_checkout) || exit 2
mkdir -p "$study_root" || fail "cannot create $study_root"
study_root=$(cd "$study_root" && pwd)

host=$(hostname -s)
if [[ -n ${SLURM_ARRAY_JOB_ID:-} ]]; then
  job="${SLURM_ARRAY_JOB_ID}_${SLURM_ARRAY_TASK_ID}"
else
  job=${SLURM_JOB_ID:-local}
fi
out="$study_root/$host-$job-$(date +%Y%m%d-%H%M%S)"
start=(--out "$out")
if ((${SLURM_RESTART_COUNT:-0} > 0)); then
  for earlier in "$study_root"/*-"$job"-[0-9]*; do
    [[ -f $earlier/runs.jsonl ]] && out=$earlier start=(--resume "$earlier")
  done
fi

# Physical cores this job may use, within its CPU mask, as the study counts them (hwloc, else
# sysfs): it binds one thread per core (OMP_PLACES=cores), so further hardware threads of a core
# would only share its place.
cores=$(cd "$repo" && python3 -m ompsuite.platform.topology --cores) && [[ $cores =~ ^[1-9][0-9]*$ ]] ||
  fail "cannot count the cores of $host (python3 -m ompsuite.platform.topology --cores)"
threads=$(thread_list "$cores")

work=$(mktemp -d "${TMPDIR:-/tmp}/ompsuite-job.XXXXXX") || fail "cannot create a work folder in ${TMPDIR:-/tmp}"
trap 'rm -rf "$work"' EXIT
if [[ -f $repo/install-layout.txt ]]; then
  tools=$repo
  export OMPSUITE_CACHE=$work/cache
else
  tar -C "$repo" --exclude=./build --exclude=./out -cf - . | tar -C "$work" -xf - ||
    fail "cannot copy $repo to $work"
  tools=$work
fi

echo "study.sbatch: $host, job $job, ${SLURM_CPUS_ON_NODE:-?} CPUs, $cores cores, threads $threads"
echo "study.sbatch: checkout $repo, output $out${SLURM_RESTART_COUNT:+ (restart $SLURM_RESTART_COUNT)}"
"$tools/scaling" --threads "$threads" "${start[@]}" "$@"
