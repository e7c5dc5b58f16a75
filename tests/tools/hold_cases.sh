#!/usr/bin/env bash
# The converter against other programs touching the folder, and the order in which its
# work reaches the disk, as the system sees it.
#   hold_cases.sh CASE QUORVEL_CONVERT
# CASE is one of:
#   concurrent  two conversions of one folder at once: one converts, the other finds it in
#               use; the folder ends converted exactly once
#   append      a mail program appends under an flock lock while the folder converts: each
#               mail it added is in the final folder, or its lock was refused
#   order       under strace: the copy is flushed before the folder's first write, and the
#               folder is flushed and closed before the copy is deleted
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
  # The descriptors of the folder and the copy, then the position of each event.
  python3 - "$work/trace" "$inbox" <<'PY' || fail "wrong order"
import re, sys
lines = open(sys.argv[1]).read().splitlines()
inbox = sys.argv[2]
fds, events = {}, []
for line in lines:
    m = re.search(r'openat\(AT_FDCWD, "([^"]+)".*= (\d+)$', line)
    if m:
        name = 'folder' if m.group(1) == inbox else 'copy' if '/qvl' in m.group(1) else None
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
    m = re.search(r'unlink\("([^"]+)"', line)
    if m and '/qvl' in m.group(1):
        events.append(('unlink', 'copy'))
def first(event, name):
    return next(i for i, e in enumerate(events) if e == (event, name))
copy_synced, folder_written = first('fsync', 'copy'), first('write', 'folder')
folder_synced, copy_deleted = first('fsync', 'folder'), first('unlink', 'copy')
folder_closed = max(i for i, e in enumerate(events) if e == ('close', 'folder'))
assert copy_synced < folder_written, events
assert folder_written < folder_synced < folder_closed < copy_deleted, events
print('copy flushed, then the folder written, flushed and closed, then the copy deleted')
PY
  ;;
*)
  fail "unknown case"
  ;;
esac
echo "PASSED ($case_name)"
