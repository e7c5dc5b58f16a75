#!/usr/bin/env bash
# The converter against other programs touching the folder, and the order in which its
# work reaches the disk, as the system sees it.
#   hold_cases.sh CASE QUORVEL_CONVERT
# CASE is one of:
#   concurrent  two conversions of one folder at once: one converts, the other finds it in
#               use; the folder ends converted exactly once
#   append      a mail program appends under an flock lock while the folder converts: each
#               mail it added is in the final folder, or its lock was refused
#   order       under strace: the copy, the record and the temporary directory are flushed
#               before the folder's first write; the folder is flushed and closed before the
#               record is deleted, and the directory flushed again before the copy is
#               deleted
#   kill        the converter killed at random moments (KILLS times, 20 unless set; the seed
#               KILL_SEED, printed, repeats a run), on a folder and on one whose change
#               starts late: one more run leaves the folder as one uninterrupted conversion
#               would, and nothing in the temporary directory; killed as it puts its
#               lock file in place, the next run converts as one run would;
#               and -o OUTPUT stopped by SIGINT, SIGTERM or SIGHUP leaves OUTPUT as it was
#               and no temporary file beside it
#   guess       a conversion killed half-way, then its copy cut short, its copy gone, or
#               the folder appended to: the next run fails naming the copy, changes nothing
#               and keeps the copy and the record
set -euo pipefail

case_name=$1
converter=$2
here=$(cd "$(dirname "$0")" && pwd)
fail() { echo "FAILED ($case_name): $*"; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/quorvel-hold.XXXXXX")
trap 'rm -rf "$work"' EXIT
export TMPDIR=$work/temp
mkdir "$work/temp"
inbox=$work/Inbox

# A folder that takes the job a good part of a second.
python3 "$here/../../bench/make-folder.py" "$inbox" "${FOLDER_MB:-30}" >/dev/null
cp "$inbox" "$work/original"
cp "$inbox" "$work/expected"
"$converter" "$work/expected" || fail "cannot convert the reference copy"

case $case_name in
concurrent)
  for round in 1 2 3; do
    cp "$work/original" "$inbox"
    "$converter" "$inbox" 2>"$work/err1" & first=$!
    sleep 0.0$((round * 3))
    status2=0
    "$converter" "$inbox" 2>"$work/err2" || status2=$?
    status1=0
    wait "$first" || status1=$?
    for n in 1 2; do
      status_var=status$n
      if [ "${!status_var}" -ne 0 ]; then
        grep -q "in use" "$work/err$n" || fail "run $n failed for another reason: $(cat "$work/err$n")"
      fi
    done
    cmp -s "$inbox" "$work/expected" || fail "round $round: the folder is not converted exactly once"
    [ -z "$(ls "$work/temp")" ] || fail "round $round: copies left: $(ls "$work/temp")"
    echo "round $round: exits $status1 and $status2, folder converted once"
  done
  ;;
append)
  "$converter" "$inbox" 2>"$work/err" & job=$!
  sleep 0.05
  added=()
  for n in $(seq 40); do
    if flock -n "$inbox" -c "printf 'From appender\nmail %d\n\n' $n >>'$inbox'"; then added+=("$n"); fi
    sleep 0.02
  done
  # Had an append taken its lock first, the conversion rightly finds the folder in use.
  wait "$job" || grep -q "in use" "$work/err" || fail "the conversion failed: $(cat "$work/err")"
  for n in "${added[@]}"; do
    grep -qx "mail $n" "$inbox" || fail "mail $n was appended and is gone"
  done
  [ "${#added[@]}" -lt 40 ] || echo "note: no append met the lock (the job was too quick)"
  echo "${#added[@]} of 40 appends went in, each one kept"
  ;;
order)
  strace -f -e trace=openat,fcntl,write,fsync,ftruncate,close,unlink \
    -o "$work/trace" "$converter" "$inbox" || fail "the conversion failed"
  # The descriptors of the folder, the copy, the record and the temporary directory, then
  # the position of each event.
  python3 - "$work/trace" "$inbox" "$TMPDIR" <<'PY' || fail "wrong order"
import re, sys
lines = open(sys.argv[1]).read().splitlines()
inbox, temp = sys.argv[2], sys.argv[3].rstrip('/')
def kind(path):
    if path == inbox:
        return 'folder'
    if path.rstrip('/') == temp:
        return 'directory'
    if '/qvl' in path:
        return 'record' if path.endswith('.JNL') else 'copy' if path.endswith('.TMP') else None
fds, events = {}, []
for line in lines:
    m = re.search(r'openat\(AT_FDCWD, "([^"]+)".*= (\d+)$', line)
    if m:
        name = kind(m.group(1))
        if name:
            fds[m.group(2)] = name
        continue
    m = re.search(r'fcntl\((\d+), F_DUPFD.* = (\d+)$', line)
    if m and m.group(1) in fds:
        fds[m.group(2)] = fds[m.group(1)]
        continue
    m = re.search(r'(\w+)\((\d+)', line)
    if m and m.group(2) in fds:
        events.append((m.group(1), fds[m.group(2)]))
        if m.group(1) == 'close':
            del fds[m.group(2)]
        continue
    m = re.search(r'unlink\("([^"]+)"\) = 0', line)
    if m and kind(m.group(1)):
        events.append(('unlink', kind(m.group(1))))
def first(event, name, after=-1):
    return next(i for i, e in enumerate(events) if e == (event, name) and i > after)
folder_written = first('write', 'folder')
record_written = first('write', 'record')
assert first('fsync', 'copy') < record_written < first('fsync', 'record') < folder_written, events
assert first('fsync', 'directory', record_written) < folder_written, events
folder_synced, record_deleted = first('fsync', 'folder'), first('unlink', 'record')
folder_closed = max(i for i, e in enumerate(events) if e == ('close', 'folder'))
assert folder_written < folder_synced < folder_closed < record_deleted, events
assert first('fsync', 'directory', record_deleted) < first('unlink', 'copy'), events
print('copy and record flushed, and their directory, then the folder written, flushed and closed,')
print('then the record deleted, the directory flushed, and the copy deleted')
PY
  ;;
kill)
  seed=${KILL_SEED:-$RANDOM}
  RANDOM=$seed
  kills=${KILLS:-20}
  # How long a whole conversion takes; the kills fall anywhere within it.
  cp "$work/original" "$inbox"
  start=$(date +%s%N)
  "$converter" "$inbox" || fail "cannot convert"
  took=$(( ($(date +%s%N) - start) / 1000000 + 1 ))
  halfway=0
  # Every other kill is of a folder converted before, with the same again appended: its
  # conversion starts late.
  cat "$work/expected" "$work/original" >"$work/late"
  cat "$work/expected" "$work/expected" >"$work/late-expected"
  for n in $(seq "$kills"); do
    folder=original result=expected
    [ $((n % 2)) -eq 1 ] || folder=late result=late-expected
    cp "$work/$folder" "$inbox"
    at=$(( (RANDOM * 32768 + RANDOM) % took ))
    "$converter" "$inbox" 2>/dev/null & job=$!
    sleep "$(printf '%d.%03d' $((at / 1000)) $((at % 1000)))"
    kill -9 "$job" 2>/dev/null || true
    wait "$job" 2>/dev/null || true
    ! compgen -G "$TMPDIR/*.JNL" >/dev/null || halfway=$((halfway + 1))
    "$converter" "$inbox" 2>"$work/err" || fail "kill $n at $at ms (seed $seed): the next run failed: $(cat "$work/err")"
    cmp -s "$inbox" "$work/$result" || fail "kill $n at $at ms (seed $seed), $folder: not as one conversion"
    [ -z "$(ls "$TMPDIR")" ] || fail "kill $n at $at ms (seed $seed): left $(ls "$TMPDIR")"
    [ ! -e "$inbox.lock" ] || fail "kill $n at $at ms (seed $seed): the lock file stays"
  done
  echo "seed $seed: $kills kills within $took ms, $halfway of them half-way through the rewrite; each completed"
  # Killed as its lock file is written or linked into place: none is left that is empty,
  # which would keep the next run out.
  cp "$work/original" "$inbox"
  lock=$(realpath "$inbox").lock
  (strace -f -o /dev/null -P "$lock" -e trace=write,link -e inject=write,link:signal=KILL:when=1 \
    "$converter" "$inbox") 2>/dev/null && fail "the conversion was not stopped at its lock file"
  "$converter" "$inbox" 2>"$work/err" || fail "killed at its lock file, the next run failed: $(cat "$work/err")"
  cmp -s "$inbox" "$work/expected" || fail "killed at its lock file: not as one conversion"
  [ ! -e "$inbox.lock" ] || fail "killed at its lock file: the lock file stays"
  echo "killed as its lock file was put in place: the next run completed"
  # A conversion to OUTPUT that is stopped leaves OUTPUT as it was and nothing beside it.
  mkdir "$work/out"
  echo before >"$work/out/file"
  # Input that never ends and takes no room: a FIFO that this shell holds open.
  mkfifo "$work/endless"
  exec 3<>"$work/endless"
  for signal in INT TERM HUP; do
    # A background job of a script would otherwise ignore SIGINT.
    env --default-signal=INT "$converter" -o "$work/out/file" "$work/endless" & job=$!
    for _ in $(seq 100); do compgen -G "$work/out/qvl*" >/dev/null && break; sleep 0.01; done
    kill -s "$signal" "$job"
    status=0
    wait "$job" || status=$?
    [ "$status" -eq $((128 + $(kill -l "$signal"))) ] || fail "-o, SIG$signal: exit $status"
    [ "$(ls "$work/out")" = file ] || fail "-o, SIG$signal: left $(ls "$work/out")"
    [ "$(cat "$work/out/file")" = before ] || fail "-o, SIG$signal: OUTPUT changed"
  done
  exec 3>&-
  echo "-o OUTPUT stopped by SIGINT, SIGTERM and SIGHUP: OUTPUT as it was, no temporary file"
  ;;
guess)
  # Stopped at the folder's fiftieth write, well into its rewrite.
  cp "$work/original" "$inbox"
  (strace -f -o /dev/null -P "$inbox" -e trace=write -e inject=write:signal=KILL:when=50 \
    "$converter" "$inbox") 2>/dev/null && fail "the conversion was not stopped"
  copy=$(compgen -G "$TMPDIR/*.TMP") record=$(compgen -G "$TMPDIR/*.JNL") ||
    fail "no copy and record: $(ls "$TMPDIR")"
  cmp -s "$inbox" "$work/original" && fail "the folder was not written to"
  cp "$inbox" "$work/damaged"
  cp "$copy" "$work/copy"
  for fault in cut missing appended; do
    case $fault in
    cut) truncate -s -1 "$copy" ;;
    missing) rm "$copy" ;;
    appended) printf 'From new\nmail\n' >>"$inbox"; cp "$inbox" "$work/damaged" ;;
    esac
    status=0
    "$converter" "$inbox" 2>"$work/err" || status=$?
    [ "$status" -eq 1 ] || fail "$fault: exit $status, not 1: $(cat "$work/err")"
    grep -q "interrupted" "$work/err" && grep -qF "$copy" "$work/err" ||
      fail "$fault: the message does not name the copy: $(cat "$work/err")"
    cmp -s "$inbox" "$work/damaged" || fail "$fault: the folder changed"
    [ -e "$record" ] || fail "$fault: the record is gone"
    [ "$fault" = missing ] || [ -e "$copy" ] || fail "$fault: the copy is gone"
    echo "$fault: $(head -1 "$work/err")"
    cp "$work/copy" "$copy"
  done
  # Put back as it was, the copy completes the conversion.
  head -c "$(stat -c %s "$work/original")" "$work/damaged" >"$inbox"
  "$converter" "$inbox" 2>"$work/err" || fail "the copy put back does not complete: $(cat "$work/err")"
  cmp -s "$inbox" "$work/expected" || fail "not as one conversion"
  ;;
*)
  fail "unknown case"
  ;;
esac
echo "PASSED ($case_name)"
