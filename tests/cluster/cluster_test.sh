#!/usr/bin/env bash
# Runs the cluster recipes of README.md as they are written there, on this
# host alone, and checks that the shards cover their range exactly once with
# the verdicts and factors of one unsharded run.
#
#   cluster_test.sh parallel MERSENNE README   GNU parallel with -S : (this host)
#   cluster_test.sh slurm    MERSENNE README   a one-node Slurm cluster of its own:
#                                              the range array job, cancelled half-way
#                                              and resubmitted, and the work-file array
#
# The recipes are read out of README.md (the indented block after each
# "<!-- recipe: NAME -->" line); only host names, folders and sizes are
# replaced, each replacement checked to hit the recipe, so that a recipe that
# changes in README.md changes here or fails here.
#
# Needs the Debian packages parallel, jq (both modes), slurm-wlm and munge
# (slurm), installed here where missing, and root for the Slurm daemons.
# Everything it starts (munged, slurmctld, slurmd) lives in a temporary
# folder with its own key, socket, ports, configuration and spool, and is
# stopped on every way out. Exit 77 (skipped) with "cluster: skipped: why"
# where the packages cannot be installed or the daemons cannot start.
set -euo pipefail

mode=${1:?mode: parallel or slurm}
mersenne_bin=$(readlink -f "${2:?path of mersenne}")
readme=$(readlink -f "${3:?path of README.md}")

skip() {
  echo "cluster: skipped: $*"
  exit 77
}
fail() {
  echo "cluster: FAILED: $*" >&2
  exit 1
}
say() { echo "cluster: $*"; }

# --- packages -----------------------------------------------------------------

install_packages() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  command -v apt-get >/dev/null || skip "no apt-get to install ${missing[*]}"
  local sudo=""
  if [ "$(id -u)" -ne 0 ]; then
    sudo -n true 2>/dev/null || skip "not root and no password-less sudo to install ${missing[*]}"
    sudo="sudo -n"
  fi
  say "installing ${missing[*]}"
  # The packages' own services stay down: this script starts its own daemons.
  if ! { $sudo apt-get update -qq &&
         DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"; } \
       >"$tmp/apt.log" 2>&1; then
    tail -n 5 "$tmp/apt.log" || true
    skip "cannot install ${missing[*]} (apt-get failed)"
  fi
}

# --- recipes out of README.md ---------------------------------------------------

# The indented block after "<!-- recipe: NAME -->", its indentation taken off.
recipe() {
  local text
  text=$(awk -v name="$1" '
    $0 == "<!-- recipe: " name " -->" { on = 1; next }
    on && /^    / { sub(/^    /, ""); print; got = 1; next }
    on && got { exit }
    on && NF { exit }' "$readme")
  [ -n "$text" ] || fail "README.md has no recipe block '$1'"
  printf '%s\n' "$text"
}

# substitute TEXT FROM TO [FROM TO ...]: every FROM must be in TEXT.
substitute() {
  local text=$1 from to
  shift
  while [ $# -gt 0 ]; do
    from=$1 to=$2
    shift 2
    [[ $text == *"$from"* ]] || fail "README.md's recipe no longer holds '$from': update tests/cluster"
    text=${text//"$from"/"$to"}
  done
  printf '%s\n' "$text"
}

# --- comparing results files ------------------------------------------------------

# One line per exponent of the results files given, sorted: what the verdict
# is (the times, shifts and rounding distances of a run left out).
verdicts() {
  jq -cs 'map({exponent, prime, res64, test, verdict, factor, divisor, tf_bits}) | sort_by(.exponent) | .[]' "$@"
}

# Every exponent of the files exactly once, with the verdicts of the reference.
same_as_reference() {
  local what=$1 reference=$2
  shift 2
  local twice
  twice=$(jq -r .exponent "$@" | sort -n | uniq -d | head -n 5 | tr '\n' ' ')
  [ -z "$twice" ] || fail "$what: exponents recorded twice: $twice"
  if ! diff <(verdicts "$reference") <(verdicts "$@") >"$tmp/verdicts.diff"; then
    head -n 20 "$tmp/verdicts.diff" >&2
    fail "$what: the shards' verdicts differ from the unsharded run's (< unsharded, > shards)"
  fi
}

same_summary() {
  local what=$1 expected=$2 got=$3
  diff "$expected" "$got" >&2 || fail "$what: the summary of the shards differs from the unsharded run's"
}

# wait_for SECONDS WHAT COMMAND...: polls COMMAND until it succeeds; gives
# up at once where COMMAND says 99 (what it waits for can no longer come).
wait_for() {
  local bound=$1 what=$2 waited=0 rc
  shift 2
  while :; do
    rc=0
    "$@" || rc=$?
    [ "$rc" -eq 0 ] && return 0
    [ "$rc" -ne 99 ] && [ "$waited" -lt $((bound * 10)) ] || return 1
    sleep 0.1
    waited=$((waited + 1))
  done
}

# Status 99 where one of the daemons started here has ended.
daemons_alive() {
  local p
  for p in "${pids[@]}"; do kill -0 "$p" 2>/dev/null || return 99; done
}
munge_ready() {
  daemons_alive || return
  munge -S "$1" -n 2>/dev/null | unmunge -S "$1" >/dev/null 2>&1
}
node_ready() {
  daemons_alive || return
  [ "$(sinfo -h -o %T 2>/dev/null)" = idle ]
}

# --- setting up ----------------------------------------------------------------

tmp=$(mktemp -d "${TMPDIR:-/tmp}/mersenne-cluster.XXXXXX")
pids=()
background=()
cleanup() {
  local rc=$?
  set +e
  if [ -n "${SLURM_CONF:-}" ] && [ -f "$SLURM_CONF" ] && [ ${#pids[@]} -gt 0 ]; then
    local jobs
    jobs=$(squeue -h -o %A 2>/dev/null | sort -u)
    if [ -n "$jobs" ]; then
      scancel $jobs 2>/dev/null
      wait_for 60 "the jobs' end" bash -c '[ -z "$(squeue -h 2>/dev/null)" ]'
    fi
  fi
  local p
  for p in "${background[@]}"; do kill "$p" 2>/dev/null; done
  # The daemons in the reverse order of their start: slurmd, slurmctld, munged.
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill "${pids[i]}" 2>/dev/null
    wait "${pids[i]}" 2>/dev/null
  done
  rm -rf "$tmp"
  exit $rc
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

mkdir -p "$tmp/bin" "$tmp/state"
ln -s "$mersenne_bin" "$tmp/bin/mersenne"
export PATH="$tmp/bin:$PATH"
export XDG_STATE_HOME="$tmp/state"   # saved states of every run here, the jobs' too
unset MERSENNE_TEST_SEED

# --- GNU parallel ----------------------------------------------------------------

run_parallel() {
  install_packages parallel jq
  command -v parallel >/dev/null || skip "GNU parallel is not installed"
  local run=$tmp/run ref=$tmp/ref
  mkdir -p "$run" "$ref"
  # Trial factoring to 2^36 settles most primes of the range; the others get a Lucas-Lehmer test.
  printf '# composite exponents included\n5000-5300\n\n5301-5600\n' >"$run/range.txt"
  local options=(--tf-bits 36)

  say "unsharded run of 5000-5600, ${options[*]}"
  (cd "$ref" && mersenne --jobs 2 --threads 1 "${options[@]}" --results ref.jsonl --from "$run/range.txt" >ref.txt) ||
    fail "the unsharded run failed"
  mersenne --summary "$ref/ref.jsonl" >"$ref/summary.txt"

  recipe parallel >"$tmp/parallel.recipe"
  substitute "$(cat "$tmp/parallel.recipe")" \
    "4/host1,4/host2" ":" \
    "/shared/run" "$run" \
    "--tf-bits 70" "--tf-bits 36" >"$tmp/parallel.sh"
  say "the parallel recipe:"
  sed 's/^/    /' "$tmp/parallel.sh"
  bash -eo pipefail "$tmp/parallel.sh" >"$tmp/parallel.out" || fail "the parallel recipe failed (status $?)"

  local shards=("$run"/r*.jsonl)
  [ ${#shards[@]} -eq 8 ] || fail "8 results files expected, ${#shards[@]} found"
  local i
  for i in $(seq 8); do
    [ -s "$run/r$i.jsonl" ] || fail "shard $i recorded nothing"
    # Each shard prints a line for every exponent it recorded.
    [ "$(wc -l <"$run/out$i.txt")" -eq "$(wc -l <"$run/r$i.jsonl")" ] ||
      fail "shard $i printed $(wc -l <"$run/out$i.txt") lines for $(wc -l <"$run/r$i.jsonl") exponents"
  done
  same_as_reference "parallel" "$ref/ref.jsonl" "${shards[@]}"
  same_summary "parallel" "$ref/summary.txt" "$tmp/parallel.out"
  say "8 shards: every exponent once, the verdicts and factors of the unsharded run"

  # Run again, it finds everything done: nothing is appended, every line printed again.
  cat "${shards[@]}" >"$tmp/before.jsonl"
  bash -eo pipefail "$tmp/parallel.sh" >"$tmp/parallel.again" || fail "the parallel recipe run again failed"
  cmp -s "$tmp/before.jsonl" <(cat "${shards[@]}") || fail "the second run changed the results files"
  same_summary "parallel (again)" "$ref/summary.txt" "$tmp/parallel.again"
  for i in $(seq 8); do
    [ "$(wc -l <"$run/out$i.txt")" -eq "$(wc -l <"$run/r$i.jsonl")" ] || fail "shard $i printed fewer lines when run again"
  done
  say "run again: nothing done twice, every line printed again"
}

# --- Slurm ------------------------------------------------------------------------

free_port() {
  local port
  for _ in $(seq 200); do
    port=$((20000 + RANDOM % 20000))
    # Nothing answers on it (bash's /dev/tcp connects or fails at once on this host).
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
      echo "$port"
      return 0
    fi
  done
  return 1
}

start_slurm() {
  [ "$(id -u)" -eq 0 ] || skip "the Slurm daemons need root (slurmd starts the jobs as their users)"
  install_packages slurm-wlm munge jq
  local d=$tmp/slurm
  mkdir -p "$d/spool" "$d/state"
  chmod 755 "$d"   # munged wants its socket's folder open to every user

  dd if=/dev/urandom of="$d/munge.key" bs=1024 count=1 status=none
  chmod 400 "$d/munge.key"
  munged -F -f --key-file="$d/munge.key" --socket="$d/munge.sock" --pid-file="$d/munged.pid" \
    --log-file="$d/munged.log" --seed-file="$d/munged.seed" >"$d/munged.out" 2>&1 &
  pids+=($!)
  if ! wait_for 30 "munged" munge_ready "$d/munge.sock"; then
    tail -n 5 "$d/munged.log" "$d/munged.out" 2>/dev/null || true
    skip "munged does not start here"
  fi

  local node ctld_port slurmd_port
  node=$(hostname -s)
  ctld_port=$(free_port) && slurmd_port=$(free_port) || skip "no free TCP port for the Slurm daemons"
  cat >"$d/slurm.conf" <<EOF
ClusterName=mersenne-test
SlurmctldHost=$node(127.0.0.1)
SlurmctldPort=$ctld_port
SlurmdPort=$slurmd_port
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
AuthInfo=socket=$d/munge.sock
CredType=cred/munge
StateSaveLocation=$d/state
SlurmdSpoolDir=$d/spool
SlurmctldPidFile=$d/slurmctld.pid
SlurmdPidFile=$d/slurmd.pid
SlurmctldLogFile=$d/slurmctld.log
SlurmdLogFile=$d/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
SchedulerType=sched/builtin
MpiDefault=none
ReturnToService=2
SlurmdParameters=config_overrides
KillWait=30
NodeName=$node NodeAddr=127.0.0.1 CPUs=2 State=UNKNOWN
PartitionName=test Nodes=$node Default=YES MaxTime=INFINITE State=UP
EOF
  export SLURM_CONF=$d/slurm.conf
  slurmctld -D -f "$SLURM_CONF" >"$d/slurmctld.out" 2>&1 &
  pids+=($!)
  slurmd -D -f "$SLURM_CONF" >"$d/slurmd.out" 2>&1 &
  pids+=($!)
  if ! wait_for 60 "the node" node_ready; then
    tail -n 5 "$d/slurmctld.log" "$d/slurmd.log" "$d/slurmctld.out" "$d/slurmd.out" 2>/dev/null || true
    skip "slurmctld and slurmd do not start here (node: $(sinfo -h -o %T 2>&1 | head -n 1))"
  fi
  say "Slurm up: one node $node, 2 CPUs"
}

# Lines in the results files of the folder, 0 where none.
lines_recorded() { cat "$1"/r*.jsonl 2>/dev/null | wc -l; }

run_slurm_range() {
  local run=$tmp/range ref=$tmp/range-ref range=21000-21800
  mkdir -p "$run" "$ref"
  say "unsharded run of $range (Lucas-Lehmer tests)"
  (cd "$ref" && mersenne --jobs 2 --threads 1 --results ref.jsonl "$range" >ref.txt) || fail "the unsharded run failed"
  mersenne --summary "$ref/ref.jsonl" >"$ref/summary.txt"
  local total
  total=$(wc -l <"$ref/ref.jsonl")

  substitute "$(recipe search.sh)" "--array=1-64" "--array=1-8" "/64 " "/8 " "20000000-21000000" "$range" \
    >"$run/search.sh"
  local slurm submit summary
  slurm=$(recipe slurm)
  submit=$(substitute "$(sed -n 1p <<<"$slurm")" "sbatch " "sbatch --wait ")
  summary=$(sed -n '2,$p' <<<"$slurm")
  [[ $submit == "sbatch --wait search.sh" && $summary == "mersenne --summary"* ]] ||
    fail "the slurm recipe is no longer a submission and a summary"
  say "search.sh:"
  sed 's/^/    /' "$run/search.sh"

  # Submitted, and cancelled once the first exponents are recorded.
  (cd "$run" && exec bash -c "$submit") >"$tmp/submit1.out" 2>&1 &
  local waiting=$!
  background+=("$waiting")
  wait_for 120 "the job" grep -q "^Submitted batch job" "$tmp/submit1.out" || fail "sbatch did not submit: $(cat "$tmp/submit1.out")"
  local job
  job=$(awk '/^Submitted batch job/ { print $4 }' "$tmp/submit1.out")
  wait_for 120 "results" bash -c "[ \$(cat '$run'/r*.jsonl 2>/dev/null | wc -l) -ge 20 ]" ||
    fail "no results lines from job $job"
  scancel "$job"
  local rc=0
  wait "$waiting" || rc=$?
  [ "$rc" -ne 0 ] || fail "sbatch --wait reported success for the cancelled job $job"
  wait_for 60 "the cancelled job's end" bash -c '[ -z "$(squeue -h)" ]' || fail "job $job still in the queue"
  local partial
  partial=$(lines_recorded "$run")
  [ "$partial" -lt "$total" ] || fail "job $job ended before it was cancelled: no resumption tested"
  say "job $job cancelled with $partial of $total exponents recorded (sbatch status $rc)"

  (cd "$run" && exec bash -c "$submit") >"$tmp/submit2.out" 2>&1 || fail "the resubmitted job failed: $(cat "$tmp/submit2.out")"
  (cd "$run" && exec bash -c "$summary") >"$tmp/summary.out" || fail "the summary failed"
  local shards=("$run"/r*.jsonl)
  [ ${#shards[@]} -eq 8 ] || fail "8 results files expected, ${#shards[@]} found"
  same_as_reference "slurm" "$ref/ref.jsonl" "${shards[@]}"
  same_summary "slurm" "$ref/summary.txt" "$tmp/summary.out"
  local resumed
  resumed=$(jq -s 'map(select((.resumed_from // 0) > 0)) | length' "${shards[@]}")
  say "resubmitted: every exponent once, the verdicts of the unsharded run ($resumed tests went on from a saved state)"
  local left
  left=$(mersenne --states)
  [[ ${left,,} == "no saved states"* ]] || fail "saved states left after the job: $left"
}

# The exponent of each assignment line of a work file, in order.
exponents_of() {
  awk -F, '/=/ { sub(/^[^=]*=/, ""); f = 1
                 if ($1 == "N/A" || (length($1) == 32 && $1 ~ /^[0-9A-Fa-f]+$/)) f = 2
                 print ($f == "1" && $(f + 1) == "2" && $(f + 3) == "-1") ? $(f + 2) : $f }' "$1"
}

run_slurm_worktodo() {
  local run=$tmp/work ref=$tmp/work-ref
  mkdir -p "$run" "$ref"
  # 20 assignments of every kind, with the comments, blank and section lines
  # that the split leaves out.
  local primes i=0 p
  primes=$(seq 21001 2 21400 | factor | awk 'NF == 2 { print $2 }' | head -n 20)
  {
    echo "# assignments"
    echo "[Worker #1]"
    for p in $primes; do
      i=$((i + 1))
      local aid
      aid=$(printf '%032X' "$i")
      case $((i % 5)) in
        0) echo "Test=$aid,$p,40,1" ;;
        1) echo "DoubleCheck=$aid,$p,40,1" ;;
        2) echo "PRP=$aid,1,2,$p,-1,40,0" ;;
        3) echo "Factor=$aid,$p,1,36" ;;
        4) echo "Test=N/A,$p,40,1" ;;
      esac
      if [ $((i % 7)) -eq 0 ]; then echo; fi
    done
  } >"$run/worktodo.txt"
  local assignments
  assignments=$(grep -c '=' "$run/worktodo.txt")
  cp "$run/worktodo.txt" "$ref/worktodo.txt"
  say "unsharded run of a work file of $assignments assignments"
  (cd "$ref" && mersenne --jobs 2 --threads 1 --worktodo worktodo.txt --results-json results.json.txt >out.txt) ||
    fail "the unsharded work file failed"
  [ "$(wc -l <"$ref/results.json.txt")" -eq "$assignments" ] || fail "the unsharded work file left assignments undone"

  (cd "$run" && bash -eo pipefail -c "$(recipe worktodo-split)") || fail "the split failed"
  [ ! -e "$run/worktodo.txt" ] || fail "the split left worktodo.txt in place"
  local n w
  n=$(cat "$run"/worktodo-*.txt | wc -l)
  [ "$n" -eq "$assignments" ] || fail "the split kept $n of $assignments assignments"
  for w in $(seq 8); do cp "$run/worktodo-$w.txt" "$run/given-$w.txt"; done
  recipe work.sh >"$run/work.sh"
  # The same work script as README's; --wait so that this test sees its end.
  (cd "$run" && sbatch --wait work.sh) >"$tmp/work.out" 2>&1 || fail "the work-file array failed: $(cat "$tmp/work.out")"

  for w in $(seq 8); do
    local todo=$run/worktodo-$w.txt results=$run/results-$w.json.txt
    [ -f "$results" ] || fail "worker $w wrote no results-$w.json.txt"
    ! grep -q '=' "$todo" || fail "worker $w left assignments in its file: $(cat "$todo")"
    # Its results are those of its own assignments, in their order.
    local mine got
    mine=$(exponents_of "$run/given-$w.txt")
    got=$(jq -r .exponent "$results")
    [ "$got" = "$mine" ] || fail "worker $w recorded $(tr '\n' ' ' <<<"$got")for its $(tr '\n' ' ' <<<"$mine")"
  done
  local canon='map({exponent, worktype, status, res64, res2048, factors, bitlo, bithi, aid}) | sort_by(.exponent, .worktype) | .[]'
  if ! diff <(jq -cs "$canon" "$ref/results.json.txt") <(jq -cs "$canon" "$run"/results-*.json.txt) >"$tmp/work.diff"; then
    head -n 20 "$tmp/work.diff" >&2
    fail "the workers' results differ from the unsharded work file's (< unsharded, > workers)"
  fi
  say "work file over 8 array tasks: each on its own pair of files, every assignment once, the results of one process"
}

case $mode in
  parallel) run_parallel ;;
  slurm)
    start_slurm
    run_slurm_range
    run_slurm_worktodo
    ;;
  *) fail "unknown mode $mode" ;;
esac
say "$mode: passed"
