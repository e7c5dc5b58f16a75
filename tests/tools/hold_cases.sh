#!/usr/bin/env bash
# The converter against other programs touching the folder, and the order in which its
# work reaches the disk, as the system sees it.
#   hold_cases.sh CASE QUORVEL_CONVERT
# CASE is one of:
#   concurrent  two conversions of one folder at once: one converts, the other finds it in
#               use; the folder ends converted exactly once
#   append      a mail program appends under an flock lock while the folder converts: each
#               mail it added is in the final folder, or its lock was refused
#   order       under strace, with --backup: the backup is flushed, renamed into place and
#               its directory flushed, and the copy, the record and the temporary directory
#               are flushed, before the folder's first write; the folder is flushed and closed before the
#               record is deleted, and the directory flushed again before the copy is
#               deleted
#   order-complete  under strace, the next run after a kill half-way, with mail appended
#               since: the mail put aside is flushed, and its directory, before the record
#               that names it is renamed into place, and that before the folder's first write;
#               the folder is flushed and closed before the trace and the record are deleted,
#               and the directory flushed again before the copy is deleted
#   order-undo  the same of --undo after a kill half-way: what the folder held is flushed,
#               and its directory, before the record that names it, and that before the
#               folder's first write; then the same end
#   order-maildir  under strace, -R over a maildir: each new file flushed (syncfs or fsync)
#               after its last write and before it is linked or renamed into cur/ or new/,
#               and each of those directories flushed after the last name it gained or lost
#   swap        the folder's directory swapped for a link to another while the job runs, at
#               each moment it makes or deletes a file beside the folder (FILE and -R):
#               nothing of the other directory made, changed or deleted
#   output      -o OUTPUT whose write fails, and then its close: the write's reason is told;
#               -o whose flush fails leaves OUTPUT as it was and no temporary file beside it
#   kill        the converter killed at random moments (KILLS times, 20 unless set; the seed
#               KILL_SEED, printed, repeats a run), on a folder and on one whose change
#               starts late: one more run leaves the folder as one uninterrupted conversion
#               would, and nothing in the temporary directory; killed as it puts its
#               lock file in place, the next run converts as one run would and leaves
#               nothing of that lock; killed as it deletes the folder's summary, the next
#               run deletes it; a lock file that cannot be deleted is named; -R
#               killed as it deletes its lock file, or after its record and before its copy:
#               the next -R leaves neither; -R killed after the rewrite and before the
#               record went: the next -R completes it, the folder once and nothing left;
#               and -o OUTPUT stopped by SIGINT, SIGTERM or SIGHUP leaves OUTPUT as it was
#               and no temporary file beside it
#   guess       a conversion killed half-way, then its copy cut short, a byte of it changed,
#               its copy gone, the folder edited in place, replaced by another file or cut
#               shorter: the next run fails naming the copy and --undo, changes nothing and
#               keeps the copy and the record; --check says so, -o writes nothing; --undo
#               after the edit gives the original back; a mail deleted from the untouched
#               front (in place, or renamed over): refused, and --undo changes nothing and
#               names the copy and where the job's bytes now begin
#   grow        the relabelling of quoted-printable mail, which makes the folder longer,
#               killed before the original's length, past it and after the rewrite; then a
#               mail appended as Python's mailbox writes one, or after a blank line: the next
#               run gives the conversion and the mail once, --undo the original and the mail
#   recover     a conversion killed half-way: --backup refuses to keep it half converted; with
#               another XDG_STATE_HOME, and on a copy of the directory: refused, naming the
#               record, and --check and -o refuse it too (as with a state directory open
#               to others); then run again with another TMPDIR: completed;
#               with mail appended since: --check says what the next run does, -o refuses,
#               the next run completes it and keeps the mail, passing over another user's
#               file in the state directory; --undo gives the original and the mail; an
#               undo killed after it deleted its record: the next one deletes its copy
#               and names its old file; an undo whose write fails says so, and changes
#               nothing, as does one whose next record's write and then close fail
set -euo pipefail

case_name=$1
converter=$2
# The old mail client's folders: converted as one text, their labels as they are.
plain=("$converter" --keep-labels)
here=$(cd "$(dirname "$0")" && pwd)
fail() { echo "FAILED ($case_name): $*"; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/quorvel-hold.XXXXXX")
trap 'rm -rf "$work"' EXIT
export TMPDIR=$work/temp
mkdir "$work/temp"
# The job's copy and record go to a state directory of this test's own.
export XDG_STATE_HOME=$work/state
state=$XDG_STATE_HOME/quorvel
inbox=$work/Inbox

# A folder that takes the job a good part of a second; a small one where no job is timed or
# killed.
case $case_name in
order-maildir|output|swap) megabytes=1 ;;
*) megabytes=${FOLDER_MB:-30} ;;
esac
python3 "$here/../../bench/make-folder.py" "$inbox" "$megabytes" >/dev/null
cp "$inbox" "$work/original"
cp "$inbox" "$work/expected"
"${plain[@]}" "$work/expected" || fail "cannot convert the reference copy"

# Kills a conversion of the original at the folder's fiftieth write, well into its rewrite;
# keeps the folder as damaged, and the copy, and names the copy and the record.
kill_halfway() {
  cp "$work/${1:-original}" "$inbox"
  (strace -f -o /dev/null -P "$inbox" -e trace=write -e inject=write:signal=KILL:when=50 \
    "${plain[@]}" "$inbox") >/dev/null 2>&1 && fail "the conversion was not stopped"
  copy=$(compgen -G "$state/*.TMP") record=$(compgen -G "$state/*.JNL") ||
    fail "no copy and record: $(ls "$state")"
  cmp -s "$inbox" "$work/original" && fail "the folder was not written to"
  rm -f "$inbox.lock"  # what a kill leaves; the next run takes it over anyway
  cp "$inbox" "$work/damaged"
  cp "$copy" "$work/copy"
  cp "$record" "$work/record"
  cp "$inbox.quorvel" "$work/trace"
}
# Checks the order of the events in an strace -y trace (TRACE) of MODE: complete, undo or
# maildir (see the cases above).
check_order() {
  python3 - "$1" "$2" "$(realpath "$inbox")" "$(realpath "$state")" <<'PY'
import os, re, sys
mode, trace, inbox, state = sys.argv[1:5]
kinds = {'.JNL': 'record', '.TMP': 'copy', '.ADD': 'added', '.JNW': 'next', '.OLD': 'old', '.CHK': 'scratch'}
def kind(path):
    path = path.rstrip('/')
    if mode == 'maildir':
        parent = os.path.basename(os.path.dirname(path))
        return 'new file' if parent == 'tmp' else path if os.path.basename(path) in ('cur', 'new') else None
    if path == inbox:
        return 'folder'
    if path == inbox + '.quorvel':
        return 'trace'
    if path == state:
        return 'directory'
    if os.path.dirname(path) == state:
        return kinds.get(path[-4:])
# Each successful call as (call, kind, path) of the file or directory it acts on; a link or
# rename as its source's, and again as its target directory's.
events = []
for line in open(trace):
    m = re.match(r'(?:\d+ +)?(\w+)\((.*)\) += (\d+)', line)
    if not m:
        continue
    call, args = m.group(1), m.group(2)
    if call in ('linkat', 'renameat', 'renameat2', 'unlinkat'):
        paths = [d + '/' + n for d, n in re.findall(r'\d+<([^>]*)>, "([^"]*)"', args)]
    elif call in ('unlink', 'rename'):
        paths = re.findall(r'"([^"]*)"', args)
    else:
        paths = re.findall(r'^\d+<([^>]*)>', args)
    if paths and call in ('linkat', 'renameat', 'renameat2'):
        events.append((call, kind(paths[0]), paths[0]))
        events.append((call + ' into', kind(os.path.dirname(paths[1])), paths[1]))
    elif paths and call == 'unlinkat':
        events.append((call, kind(paths[0]), paths[0]))
        events.append((call + ' from', kind(os.path.dirname(paths[0])), paths[0]))
    elif paths:
        events.append((call, kind(paths[0]), paths[0]))
        if call == 'rename':
            events.append(('rename into', kind(paths[1]), paths[1]))
NEVER = len(events) + 1
def first(call, name, after=-1, path=None):
    return next((i for i, e in enumerate(events)
                 if i > after and e[:2] == (call, name) and path in (None, e[2])), NEVER)
def last(call, name, before=NEVER, path=None):
    return max((i for i, e in enumerate(events[:before]) if e[:2] == (call, name) and path in (None, e[2])),
               default=-1)
shown = [e[:2] for e in events if e[1] and e[0] != 'write']
if mode == 'maildir':
    moved = [i for i, e in enumerate(events) if e[0] in ('linkat', 'renameat', 'renameat2') and e[1] == 'new file']
    assert moved, shown
    for i in moved:
        written = last('write', 'new file', i, events[i][2])
        synced = min(first('fsync', 'new file', written, events[i][2]),
                     min((j for j, e in enumerate(events) if j > written and e[0] == 'syncfs'), default=NEVER))
        assert written >= 0 and synced < i, ('%s renamed unflushed' % events[i][2], shown)
    for directory in {e[1] for e in events if e[0].endswith((' into', ' from')) and e[1]}:
        changed = max(i for i, e in enumerate(events) if e[0].endswith((' into', ' from')) and e[1] == directory)
        assert first('fsync', directory, changed) < NEVER, ('%s not flushed after its names changed' % directory, shown)
    print('each new file flushed before its new name; %d renamed, their directories flushed after' % len(moved))
    sys.exit(0)
put_aside = first('fsync', 'added' if mode == 'complete' else 'old')
renamed = first('rename', 'next', put_aside)
folder_written = first('write', 'folder')
assert put_aside < first('fsync', 'directory', put_aside) < renamed < folder_written < NEVER, shown
assert first('fsync', 'next', put_aside) < renamed, shown
record_deleted = first('unlink', 'record')
written = last('write', 'folder', record_deleted)
# The trace beside the folder goes through the folder's directory.
trace_deleted = min(first('unlink', 'trace', written), first('unlinkat', 'trace', written))
assert written < first('fsync', 'folder', written) < first('close', 'folder', written) < trace_deleted \
    < record_deleted < first('fsync', 'directory', record_deleted) < first('unlink', 'copy', record_deleted) < NEVER, shown
print('what the record names flushed with its directory before the record, the record before the folder;')
print('the folder flushed and closed, then the trace and the record deleted, the directory flushed, the copy deleted')
PY
}
# The number that strace gives, among the calls CALL it traces (with -P DIR where DIR is not
# empty), to the NTH whose arguments match the regular expression NAME, in a run of the rest
# of the arguments: the job reaches the files beside its folder by name through the
# directory it holds, which -P tells by the directory alone.  A rehearsal, whatever it
# changes: the caller puts the files back before the run that counts.
call_number() {
  local call=$1 dir=$2 name=$3 nth=$4
  shift 4
  strace -f -y -o "$work/calls" ${dir:+-P "$dir"} -e trace="$call" "$@" >/dev/null 2>&1 || true
  grep "^[0-9]* *$call(" "$work/calls" | grep -n "$name" | sed -n "${nth}p" | cut -d: -f1
}
# Changes the byte at offset of file.
flip_byte() {
  python3 -c 'import sys; f = open(sys.argv[1], "r+b"); f.seek(int(sys.argv[2])); b = f.read(1); f.seek(int(sys.argv[2])); f.write(bytes([b[0] ^ 1]))' "$1" "$2"
}
# Another folder of the same size as the original.
python3 - "$work/original" "$work/other" <<'PY'
import sys
data = bytearray(open(sys.argv[1], 'rb').read())
data[len(data) // 2] ^= 1
open(sys.argv[2], 'wb').write(data)
PY

case $case_name in
concurrent)
  for round in 1 2 3; do
    cp "$work/original" "$inbox"
    "${plain[@]}" "$inbox" 2>"$work/err1" & first=$!
    sleep 0.0$((round * 3))
    status2=0
    "${plain[@]}" "$inbox" 2>"$work/err2" || status2=$?
    status1=0
    wait "$first" || status1=$?
    for n in 1 2; do
      status_var=status$n
      if [ "${!status_var}" -ne 0 ]; then
        grep -q "in use" "$work/err$n" || fail "run $n failed for another reason: $(cat "$work/err$n")"
      fi
    done
    cmp -s "$inbox" "$work/expected" || fail "round $round: the folder is not converted exactly once"
    [ -z "$(ls "$state")" ] || fail "round $round: copies left: $(ls "$state")"
    echo "round $round: exits $status1 and $status2, folder converted once"
  done
  ;;
append)
  "${plain[@]}" "$inbox" 2>"$work/err" & job=$!
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
  strace -f -y -e trace=openat,fcntl,write,fsync,ftruncate,close,unlink,unlinkat,rename,renameat,renameat2 \
    -o "$work/trace" "${plain[@]}" --backup "$inbox" || fail "the conversion failed"
  cmp -s "$inbox~" "$work/original" || fail "the backup is not the original"
  # The descriptors of the folder, the backup, the copy, the record, the temporary directory
  # and the folder's, then the position of each event.
  python3 - "$work/trace" "$inbox" "$state" <<'PY' || fail "wrong order"
import os, re, sys
lines = open(sys.argv[1]).read().splitlines()
inbox, temp = sys.argv[2], sys.argv[3].rstrip('/')
def kind(path):
    if path == inbox:
        return 'folder'
    if path.rstrip('/') == temp:
        return 'directory'
    if path.rstrip('/') == os.path.dirname(inbox):
        return 'folder directory'
    if os.path.dirname(path) == os.path.dirname(inbox) and '/qvl' in path:
        return 'backup'
    if '/qvl' in path:
        return 'record' if path.endswith('.JNL') else 'copy' if path.endswith('.TMP') else None
fds, events = {}, []
for line in lines:
    # Opened by path, or by name through a directory held open.
    m = re.search(r'openat\((?:AT_FDCWD|\d+)(?:<([^>]*)>)?, "([^"]+)".*= (\d+)', line)
    if m:
        name = kind(os.path.join(m.group(1) or '', m.group(2)))
        if name:
            fds[m.group(3)] = name
        continue
    m = re.search(r'fcntl\((\d+)(?:<[^>]*>)?, F_DUPFD.* = (\d+)', line)
    if m and m.group(1) in fds:
        fds[m.group(2)] = fds[m.group(1)]
        continue
    m = re.search(r'(\w+)\((\d+)', line)
    if m and m.group(2) in fds:
        events.append((m.group(1), fds[m.group(2)]))
        if m.group(1) == 'close':
            del fds[m.group(2)]
        continue
    m = re.search(r'unlink\("([^"]+)"\) = 0', line) or re.search(r'unlinkat\(\d+<([^>]*)>, "([^"]+)", \d+\) = 0', line)
    path = m and os.path.join(*m.groups())
    if path and kind(path):
        events.append(('unlink', kind(path)))
    m = re.search(r'rename\w*\((?:AT_FDCWD, )?"([^"]+)".* = 0$', line)
    if m and kind(m.group(1)):
        events.append(('rename', kind(m.group(1))))
def first(event, name, after=-1):
    return next(i for i, e in enumerate(events) if e == (event, name) and i > after)
folder_written = first('write', 'folder')
backup_renamed = first('rename', 'backup')
assert first('fsync', 'backup') < backup_renamed < first('fsync', 'folder directory', backup_renamed) < folder_written, events
record_written = first('write', 'record')
assert first('fsync', 'copy') < record_written < first('fsync', 'record') < folder_written, events
assert first('fsync', 'directory', record_written) < folder_written, events
folder_synced, record_deleted = first('fsync', 'folder'), first('unlink', 'record')
folder_closed = max(i for i, e in enumerate(events) if e == ('close', 'folder'))
assert folder_written < folder_synced < folder_closed < record_deleted, events
assert first('fsync', 'directory', record_deleted) < first('unlink', 'copy'), events
print('the backup flushed, renamed into place and its directory flushed; copy and record flushed,')
print('and their directory; then the folder written, flushed and closed,')
print('then the record deleted, the directory flushed, and the copy deleted')
PY
  ;;
swap)
  # While a job runs, its folder's directory is renamed and a link to another put in its
  # place, at each moment that makes or deletes a file beside the folder: its lock file put
  # in place, its trace made, its copy made, its summaries deleted.  Nothing of the other
  # directory is made, changed or deleted (not even its live lock file); the folder is
  # converted where it went, its summaries deleted there.
  mkdir "$work/elsewhere"
  for name in Inbox Inbox.snm Inbox.msf; do echo "not this $name" >"$work/elsewhere/$name"; done
  echo $$ >"$work/elsewhere/Inbox.lock"
  ls -l --time-style=+%s.%N "$work/elsewhere" >"$work/elsewhere.before"
  # Waits until the process that strace (PID) runs stands at the system call CALL, held
  # there by the delay: the same call with the same arguments, seen twice 0.3 s apart.
  held_at() {
    local number first now child tries
    case $2 in openat) number=257 ;; linkat) number=265 ;; unlinkat) number=263 ;; esac  # x86-64
    for tries in $(seq 300); do
      for child in $(cat "/proc/$1/task/$1/children" 2>/dev/null); do
        first=$(cat "/proc/$child/syscall" 2>/dev/null) || continue
        [ "${first%% *}" = "$number" ] || continue
        sleep 0.3
        now=$(cat "/proc/$child/syscall" 2>/dev/null) || continue
        [ "$now" != "$first" ] || return 0
      done
      sleep 0.02
    done
    return 1
  }
  swapped() {
    rm -rf "$work/sw"
    mkdir -p "$work/sw/real"
    cp "$work/original" "$work/sw/real/Inbox"
    touch "$work/sw/real/Inbox.snm" "$work/sw/real/Inbox.msf"
  }
  for mode in FILE -R; do
    for moment in 'linkat "Inbox.lock",' 'openat "Inbox.quorvel",' 'openat "[^"]*\.TMP",' 'unlinkat "Inbox.snm",' \
      'unlinkat "Inbox.msf",'; do
      call=${moment%% *} name=${moment#* }
      run=("${plain[@]}" "$work/sw/real/Inbox")
      [ "$mode" = FILE ] || run=("${plain[@]}" -R "$work/sw/real")
      swapped
      n=$(call_number "$call" "" "$name" 1 "${run[@]}")
      [ -n "$n" ] || fail "$mode: no $moment in a run"
      swapped
      (exec strace -f -o /dev/null -e trace="$call" -e inject="$call":delay_enter=2000000:when="$n" "${run[@]}" \
        >/dev/null 2>"$work/err") & job=$!
      held_at "$job" "$call" || fail "$mode: the run never stood at $moment"
      mv "$work/sw/real" "$work/sw/moved"
      ln -s ../../elsewhere "$work/sw/real"
      wait "$job" || fail "$mode, swapped at $moment: $(cat "$work/err")"
      ls -l --time-style=+%s.%N "$work/elsewhere" | cmp -s - "$work/elsewhere.before" ||
        fail "$mode, swapped at $moment: the other directory changed: $(ls -la "$work/elsewhere")"
      cmp -s "$work/sw/moved/Inbox" "$work/expected" || fail "$mode, swapped at $moment: the folder is not converted"
      [ "$(ls "$work/sw/moved")" = Inbox ] || fail "$mode, swapped at $moment: left $(ls "$work/sw/moved")"
    done
    echo "$mode: the directory swapped at each moment, nothing done outside it"
  done
  ;;
order-complete|order-undo)
  kill_halfway
  if [ "$case_name" = order-complete ]; then
    # Mail with nothing to change: the completion is the run's only job.
    printf 'From new\nSubject: fetched since\n\nplain\n' >"$work/mail"
    cat "$work/mail" >>"$inbox"
    run=("${plain[@]}")
  else
    run=("$converter" --undo)
  fi
  strace -f -y -e trace=write,fsync,close,unlink,unlinkat,rename -o "$work/trace" "${run[@]}" "$inbox" 2>"$work/err" ||
    fail "$(cat "$work/err")"
  if [ "$case_name" = order-complete ]; then
    cat "$work/expected" "$work/mail" | cmp -s - "$inbox" || fail "not the conversion and the mail"
    check_order complete "$work/trace" || fail "wrong order"
  else
    cmp -s "$inbox" "$work/original" || fail "not the original"
    check_order undo "$work/trace" || fail "wrong order"
  fi
  [ -z "$(ls "$state")" ] || fail "left $(ls "$state")"
  ;;
order-maildir)
  # Mail of each kind the relabelling changes, in cur/ and new/.
  mkdir -p "$work/tree/Mail/"{cur,new,tmp}
  for n in 1 2 3 4; do
    where=cur
    [ $((n % 2)) -eq 1 ] || where=new
    printf 'From: a@example.kr\nSubject: mail %d\nMIME-Version: 1.0\nContent-Type: text/plain; charset=ISO-2022-KR\n\n\x1b$)C\n\x0e\x30\x21\x0f line\n' \
      $n >"$work/tree/Mail/$where/100$n.host:2,S"
  done
  strace -f -y -e trace=write,fsync,syncfs,close,linkat,renameat,renameat2,unlinkat -o "$work/trace" \
    "$converter" -R "$work/tree" >/dev/null 2>"$work/err" || fail "$(cat "$work/err")"
  [ "$(grep -rl 'charset=EUC-KR' "$work/tree/Mail" | wc -l)" -eq 4 ] || fail "not every message relabelled"
  check_order maildir "$work/trace" || fail "wrong order"
  ;;
output)
  # A write that fails (the device is full), then a close that fails too: the write's reason.
  (strace -f -o /dev/null -P /dev/full -e trace=close -e inject=close:error=EIO \
    "${plain[@]}" -o /dev/full "$work/original") 2>"$work/err" && fail "-o /dev/full: exit 0"
  grep -q "/dev/full: cannot write: No space left" "$work/err" || fail "-o /dev/full, its close failed too: $(cat "$work/err")"
  echo "a write and then a close failed: $(cat "$work/err")"
  # A flush that fails: OUTPUT as it was, and nothing left beside it.
  mkdir "$work/out"
  echo before >"$work/out/file"
  (strace -f -o /dev/null -e trace=fsync -e inject=fsync:error=EIO "${plain[@]}" -o "$work/out/file" "$work/original") \
    2>"$work/err" && fail "-o whose flush failed: exit 0"
  grep -q "Input/output error" "$work/err" || fail "-o whose flush failed: $(cat "$work/err")"
  [ "$(ls "$work/out")" = file ] || fail "-o whose flush failed left $(ls "$work/out")"
  [ "$(cat "$work/out/file")" = before ] || fail "-o whose flush failed changed OUTPUT"
  echo "-o whose flush failed: OUTPUT as it was, no temporary file"
  # The folder's own close failing (as on a network drive), at each of its first closes, and
  # its first and last writes (the last is the final flush's): where the job fails, it gives
  # that reason, and puts the folder back or, once the folder is written and flushed (a
  # close alone), keeps the record for the next run, which completes the job.
  cp "$work/original" "$inbox"
  rm -rf "${state:?}"/*
  strace -f -o "$work/writes" -P "$inbox" -e trace=write "${plain[@]}" "$inbox" || fail "cannot count the writes"
  failed=0
  for point in close:1 close:2 close:3 close:4 close:5 close:6 write:1 "write:$(grep -c 'write(' "$work/writes")"; do
    call=${point%%:*} n=${point#*:}
    cp "$work/original" "$inbox"
    rm -rf "${state:?}"/*
    if (strace -f -o /dev/null -P "$inbox" -e trace="$call" -e inject="$call":error=EIO:when="$n" \
      "${plain[@]}" "$inbox") 2>"$work/err"; then
      [ "$call" = close ] || fail "$call $n of the folder failed: exit 0"
      continue
    fi
    failed=$((failed + 1))
    grep -q "cannot convert: Input/output error" "$work/err" || fail "$call $n of the folder failed: $(cat "$work/err")"
    if ! cmp -s "$inbox" "$work/original"; then
      [ "$call" = close ] && grep -q "may be damaged" "$work/err" ||
        fail "$call $n of the folder failed: changed, unsaid: $(cat "$work/err")"
      "${plain[@]}" "$inbox" 2>/dev/null && cmp -s "$inbox" "$work/expected" ||
        fail "$call $n of the folder failed: the next run did not complete the job"
    fi
  done
  [ "$failed" -gt 2 ] || fail "no failed close of the folder failed the job"
  echo "a write or close of the folder that failed: told as it was; the folder put back, or completed by the next run"
  ;;
kill)
  seed=${KILL_SEED:-$RANDOM}
  RANDOM=$seed
  kills=${KILLS:-20}
  # How long a whole conversion takes; the kills fall anywhere within it.
  cp "$work/original" "$inbox"
  start=$(date +%s%N)
  "${plain[@]}" "$inbox" || fail "cannot convert"
  took=$(( ($(date +%s%N) - start) / 1000000 + 1 ))
  halfway=0
  # Every other kill is of a folder converted before, with the same again appended: its
  # conversion starts late.
  cat "$work/expected" "$work/original" >"$work/late"
  cat "$work/expected" "$work/expected" >"$work/late-expected"
  # And of the relabelling, whose late start is a mail's, with the checksum of all before it.
  cp "$work/original" "$work/relabelled"
  "$converter" "$work/relabelled" || fail "cannot relabel the reference copy"
  cat "$work/relabelled" "$work/original" >"$work/late-relabel"
  cat "$work/relabelled" "$work/relabelled" >"$work/late-relabel-expected"
  for n in $(seq "$kills"); do
    folder=original result=expected job_of=("${plain[@]}")
    [ $((n % 2)) -eq 1 ] || folder=late result=late-expected
    [ $((n % 4)) -ne 0 ] || folder=late-relabel result=late-relabel-expected job_of=("$converter")
    cp "$work/$folder" "$inbox"
    at=$(( (RANDOM * 32768 + RANDOM) % took ))
    "${job_of[@]}" "$inbox" 2>/dev/null & job=$!
    sleep "$(printf '%d.%03d' $((at / 1000)) $((at % 1000)))"
    kill -9 "$job" 2>/dev/null || true
    wait "$job" 2>/dev/null || true
    ! compgen -G "$state/*.JNL" >/dev/null || halfway=$((halfway + 1))
    "${job_of[@]}" "$inbox" 2>"$work/err" || fail "kill $n at $at ms (seed $seed): the next run failed: $(cat "$work/err")"
    cmp -s "$inbox" "$work/$result" || fail "kill $n at $at ms (seed $seed), $folder: not as one conversion"
    [ -z "$(ls "$state")$(ls "$TMPDIR")" ] || fail "kill $n at $at ms (seed $seed): left $(ls "$state" "$TMPDIR")"
    [ ! -e "$inbox.lock" ] || fail "kill $n at $at ms (seed $seed): the lock file stays"
  done
  echo "seed $seed: $kills kills within $took ms, $halfway of them half-way through the rewrite; each completed"
  # Killed as its lock file is written or linked into place: none is left that is empty,
  # which would keep the next run out.
  cp "$work/original" "$inbox"
  lock=$(realpath "$inbox").lock
  (strace -f -o /dev/null -P "$work" -e trace=linkat -e inject=linkat:signal=KILL:when=1 \
    "${plain[@]}" "$inbox") 2>/dev/null && fail "the conversion was not stopped at its lock file"
  "${plain[@]}" "$inbox" 2>"$work/err" || fail "killed at its lock file, the next run failed: $(cat "$work/err")"
  cmp -s "$inbox" "$work/expected" || fail "killed at its lock file: not as one conversion"
  [ ! -e "$inbox.lock" ] || fail "killed at its lock file: the lock file stays"
  ! compgen -G "$lock.*" >/dev/null || fail "killed at its lock file: left $(compgen -G "$lock.*")"
  echo "killed as its lock file was put in place: the next run completed"
  # Killed as it deletes the summary of the folder it changed: the next run deletes it.
  cp "$work/original" "$inbox" && : >"$inbox.snm"
  n=$(call_number unlinkat "$work" '"Inbox.snm",' 1 "${plain[@]}" "$inbox")
  [ -n "$n" ] || fail "no deletion of the summary in a run"
  cp "$work/original" "$inbox" && : >"$inbox.snm"
  (strace -f -o /dev/null -P "$work" -e trace=unlinkat -e inject=unlinkat:signal=KILL:when="$n" \
    "${plain[@]}" "$inbox") 2>/dev/null && fail "the conversion was not stopped at its summary"
  "${plain[@]}" "$inbox" 2>"$work/err" || fail "killed at its summary, the next run failed: $(cat "$work/err")"
  cmp -s "$inbox" "$work/expected" || fail "killed at its summary: not as one conversion"
  [ ! -e "$inbox.snm" ] || fail "killed at its summary: the stale summary stays"
  echo "killed as it deleted the folder's summary: the next run deleted it"
  # A lock file that cannot be deleted at the end is named.
  cp "$work/original" "$inbox"
  n=$(call_number unlinkat "$work" '"Inbox.lock",' 1 "${plain[@]}" "$inbox")
  cp "$work/original" "$inbox"
  (strace -f -o /dev/null -P "$work" -e trace=unlinkat -e inject=unlinkat:error=EACCES:when="$n" \
    "${plain[@]}" "$inbox") 2>"$work/err" || fail "a lock file that stays: $(cat "$work/err")"
  grep -qF "warning: cannot delete the lock file $lock" "$work/err" || fail "a lock file that stays: $(cat "$work/err")"
  rm "$lock"
  # -R stopped at the end of a folder's job, as its lock file goes, or after its record went
  # and before its copy: the next -R, which finds nothing to change, leaves neither.
  mkdir "$work/tree"
  cp "$work/original" "$work/tree/Inbox"
  n=$(call_number unlinkat "$work/tree" '"Inbox.lock",' 1 "$converter" -R "$work/tree")
  cp "$work/original" "$work/tree/Inbox"
  (strace -f -o /dev/null -P "$work/tree" -e trace=unlinkat \
    -e inject=unlinkat:signal=KILL:when="$n" "$converter" -R "$work/tree") >/dev/null 2>&1 &&
    fail "-R was not stopped at its lock file"
  [ -e "$work/tree/Inbox.lock" ] || fail "-R stopped at its lock file left none"
  "$converter" -R "$work/tree" >/dev/null 2>"$work/err" || fail "-R after -R stopped: $(cat "$work/err")"
  [ ! -e "$work/tree/Inbox.lock" ] || fail "-R stopped at the end of a job: its lock file stays"
  # A mail program's lock (its pid alone) of a process that has ended is its own to clear.
  sh -c 'echo $$ >"$1"' - "$work/tree/Inbox.lock"
  "$converter" -R "$work/tree" >/dev/null 2>"$work/err" || fail "-R beside a mail program's lock: $(cat "$work/err")"
  [ -e "$work/tree/Inbox.lock" ] || fail "-R deleted a mail program's lock file"
  rm "$work/tree/Inbox.lock"
  kill_halfway
  rm "$record" "$inbox.quorvel"
  cp "$work/relabelled" "$inbox"
  mv "$inbox" "$work/tree/Inbox"
  "$converter" -R "$work/tree" >/dev/null 2>"$work/err" || fail "-R after -R stopped: $(cat "$work/err")"
  [ -z "$(ls "$state")" ] || fail "-R stopped after its record went: left $(ls "$state")"
  cmp -s "$work/tree/Inbox" "$work/relabelled" || fail "-R stopped after its record went: the folder changed"
  # -R stopped after the rewrite, before the record went: at the second unlink of the trace
  # beside the folder (the first clears one left before it is made).  The next -R, which
  # finds nothing to change in the folder, still completes the job: the folder once, and
  # no record, copy or trace left.
  cp "$work/original" "$work/tree/Inbox"
  n=$(call_number unlinkat "$work/tree" '"Inbox.quorvel",' 2 "$converter" -R "$work/tree")
  cp "$work/original" "$work/tree/Inbox"
  (strace -f -o /dev/null -P "$work/tree" -e trace=unlinkat \
    -e inject=unlinkat:signal=KILL:when="$n" "$converter" -R "$work/tree") >/dev/null 2>&1 &&
    fail "-R was not stopped before its record went"
  cmp -s "$work/tree/Inbox" "$work/relabelled" || fail "-R stopped before its record went: the folder is not written"
  [ -n "$(compgen -G "$state/*.JNL")" ] || fail "-R stopped before its record went: no record left"
  "$converter" -R "$work/tree" >/dev/null 2>"$work/err" || fail "-R after -R stopped: $(cat "$work/err")"
  cmp -s "$work/tree/Inbox" "$work/relabelled" || fail "-R stopped before its record went: not as one conversion"
  [ -z "$(ls "$state")" ] || fail "-R stopped before its record went: left $(ls "$state")"
  [ ! -e "$work/tree/Inbox.quorvel" ] || fail "-R stopped before its record went: the trace stays"
  echo "-R stopped at the end of a folder's job: the next -R left no lock file and no copy"
  # A conversion to OUTPUT that is stopped leaves OUTPUT as it was and nothing beside it.
  mkdir "$work/out"
  echo before >"$work/out/file"
  # Input that never ends and takes no room: a FIFO that this shell holds open.
  mkfifo "$work/endless"
  exec 3<>"$work/endless"
  for signal in INT TERM HUP; do
    # A background job of a script would otherwise ignore SIGINT.
    env --default-signal=INT "${plain[@]}" -o "$work/out/file" "$work/endless" & job=$!
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
  # Each way the folder or the job's files can differ from what the killed job left: the
  # next run refuses, naming the copy and the way back, and changes nothing; --check says
  # so, and -o writes nothing.
  kill_halfway
  for fault in cut flipped missing edited replaced shorter; do
    cp "$work/damaged" "$inbox"
    cp "$work/copy" "$copy"
    case $fault in
    cut) truncate -s -1 "$copy" ;;
    flipped) flip_byte "$copy" 100 ;;
    missing) rm "$copy" ;;
    # Mail programs mark a mail read in place: the same size, one byte changed.
    edited) flip_byte "$inbox" $(( $(stat -c %s "$inbox") - 100 )) ;;
    replaced) cp "$work/other" "$inbox.new" && mv "$inbox.new" "$inbox" ;;
    shorter) truncate -s -1000 "$inbox" ;;
    esac
    cp "$inbox" "$work/before"
    status=0
    "${plain[@]}" "$inbox" 2>"$work/err" || status=$?
    [ "$status" -eq 1 ] || fail "$fault: exit $status, not 1: $(cat "$work/err")"
    grep -q "interrupted" "$work/err" && grep -qF "$copy" "$work/err" && grep -qF -- "--undo $inbox" "$work/err" ||
      fail "$fault: the message does not name the copy and the way back: $(cat "$work/err")"
    cmp -s "$inbox" "$work/before" || fail "$fault: the folder changed"
    [ -e "$record" ] || fail "$fault: the record is gone"
    "${plain[@]}" --check "$inbox" >"$work/out" 2>&1 && fail "$fault: --check passed over it: $(cat "$work/out")"
    grep -q "the next run refuses it" "$work/out" || fail "$fault: --check: $(cat "$work/out")"
    "${plain[@]}" -o "$work/output" "$inbox" 2>"$work/err" && fail "$fault: -o converted the damaged folder"
    [ ! -e "$work/output" ] || fail "$fault: -o wrote its output"
    echo "$fault: $(head -1 "$work/err")"
  done
  # The way back, from the folder as the mail program edited it: the original.
  cp "$work/damaged" "$inbox"
  cp "$work/copy" "$copy"
  flip_byte "$inbox" $(( $(stat -c %s "$inbox") - 100 ))
  "${plain[@]}" "$inbox" 2>"$work/err" && fail "the edit was not refused"
  grep -q "it differs from what the interrupted conversion left at byte" "$work/err" ||
    fail "the refusal does not say where: $(cat "$work/err")"
  # That undo killed half-way, and mail appended before the next: the original and the
  # mail, and the edited bytes with the mail kept.
  cp "$inbox" "$work/edited"
  printf 'From new\nSubject: fetched since\n\nplain\n' >"$work/mail"
  (strace -f -o /dev/null -P "$inbox" -e trace=write -e inject=write:signal=KILL:when=20 \
    "$converter" --undo "$inbox") >/dev/null 2>&1 && fail "the undo of the edited folder was not stopped"
  cat "$work/mail" >>"$inbox"
  "$converter" --undo "$inbox" >"$work/out" 2>"$work/err" || fail "--undo failed: $(cat "$work/err")"
  cat "$work/original" "$work/mail" | cmp -s - "$inbox" || fail "--undo did not give the original and the mail"
  [ -z "$(ls "$state" | grep -v '\.OLD$')" ] || fail "--undo left $(ls "$state")"
  cat "$work/edited" "$work/mail" | cmp -s - "$state"/*.OLD || fail "--undo did not keep the edited bytes and the mail"
  echo "--undo after an edit in place, killed, mail appended: the original, the edited bytes kept in $(ls "$state")"
  rm "$state"/*
  # An edit in what the job never wrote: the front of a folder whose change starts late.
  cat "$work/expected" "$work/original" >"$work/late"
  kill_halfway late
  flip_byte "$inbox" 100
  "${plain[@]}" "$inbox" 2>"$work/err" && fail "an edit in the front was not refused"
  grep -q "somewhere before byte $(stat -c %s "$work/expected")," "$work/err" ||
    fail "an edit in the front: $(cat "$work/err")"
  echo "an edit in the untouched front: refused"
  # A mail deleted from that front, in place or by a new file renamed over the folder: the
  # next run refuses, and --undo too, leaving the folder as it is and naming the copy and
  # where the job's bytes now begin; --check promises nothing of --undo.
  for how in place rename; do
    rm -f "$state"/* "$inbox.quorvel"
    kill_halfway late
    python3 - "$inbox" $how <<'PY'
import os, sys
data = open(sys.argv[1], 'rb').read()
second = data.index(b'\nFrom ', 1) + 1
if sys.argv[2] == 'place':
    with open(sys.argv[1], 'r+b') as f:
        f.write(data[second:])
        f.truncate()
else:
    open(sys.argv[1] + '.new', 'wb').write(data[second:])
    os.replace(sys.argv[1] + '.new', sys.argv[1])
print(second, file=open(sys.argv[1] + '.deleted', 'w'))
PY
    deleted=$(cat "$inbox.deleted") && rm "$inbox.deleted"
    cp "$inbox" "$work/before"
    "${plain[@]}" "$inbox" 2>"$work/err" && fail "a mail deleted $how in the front: not refused"
    "${plain[@]}" --check "$inbox" >"$work/out" 2>&1 && fail "a mail deleted $how in the front: --check passed"
    grep -q "the next run refuses it, and .* leaves it as it is" "$work/out" && ! grep -q "as it was" "$work/out" ||
      fail "a mail deleted $how in the front, --check: $(cat "$work/out")"
    "$converter" --undo "$inbox" >"$work/out" 2>"$work/err" && fail "a mail deleted $how in the front: undone"
    grep -qF "$copy" "$work/err" && grep -q "now begin at byte $(( $(stat -c %s "$work/expected") - deleted ))" "$work/err" ||
      fail "a mail deleted $how in the front, --undo: $(cat "$work/err")"
    cmp -s "$inbox" "$work/before" || fail "a mail deleted $how in the front: --undo changed the folder"
    [ -e "$record" ] && [ -e "$copy" ] || fail "a mail deleted $how in the front: the copy or record is gone"
    rm -f "$inbox.lock"
    echo "a mail deleted $how in the untouched front: refused, --undo left it and said: $(tail -1 "$work/err")"
  done
  ;;
recover)
  # What the next run completes after a kill half-way.
  kill_halfway
  # Not backed up half converted: no backup, and the conversion left to complete.
  "${plain[@]}" --backup "$inbox" 2>"$work/err" && fail "--backup of a half-converted folder"
  grep -qF "cannot back it up to $(realpath "$inbox")~: a conversion of it was interrupted" "$work/err" &&
    grep -qF "run 'quorvel-convert $inbox' first" "$work/err" || fail "--backup: $(cat "$work/err")"
  [ ! -e "$inbox~" ] && cmp -s "$inbox" "$work/damaged" || fail "--backup of a half-converted folder changed it"
  # Another state directory, and a copy of the folder's directory: the trace beside the
  # folder refuses them both, naming the record.
  mkdir "$work/copied"
  cp -a "$inbox" "$inbox.quorvel" "$work/copied/"
  for folder in "$inbox" "$work/copied/Inbox"; do
    XDG_STATE_HOME=$work/state2 "${plain[@]}" "$folder" 2>"$work/err" && fail "$folder: converted without its record"
    grep -qF "its record is kept in $record" "$work/err" || fail "$folder without its record: $(cat "$work/err")"
    cmp -s "$folder" "$work/damaged" || fail "$folder without its record: changed"
  done
  echo "another state directory, a copy of the directory: refused, naming the record"
  # --check and -o see that trace as the job does, whatever state directory they are given:
  # none, one without the record, one that no job may use (open to others).
  mkdir -p "$work/state3/quorvel" "$work/state4/quorvel"
  chmod 700 "$work/state3/quorvel" && chmod 777 "$work/state4/quorvel"
  for home in state2 state3 state4; do
    XDG_STATE_HOME=$work/$home "${plain[@]}" --check "$inbox" >"$work/out" 2>&1 && fail "$home: --check passed over it"
    grep -q "the next run refuses it" "$work/out" || fail "$home, --check: $(cat "$work/out")"
    XDG_STATE_HOME=$work/$home "${plain[@]}" -o "$work/output" "$inbox" 2>"$work/err" &&
      fail "$home: -o converted a half-written folder"
    [ ! -e "$work/output" ] || fail "$home: -o wrote its output"
  done
  echo "--check and -o with another state directory: refused; $(head -1 "$work/err")"
  # The folder alone copied to another machine (another state directory, no trace beside
  # it): its converted front over ISO-2022-KR text whose designator is gone refuses it.
  mkdir "$work/alone"
  cp "$inbox" "$work/alone/Inbox"
  XDG_STATE_HOME=$work/state2 "${plain[@]}" "$work/alone/Inbox" 2>"$work/err" && fail "copied alone: converted"
  grep -qF "looks half written by a conversion that was stopped" "$work/err" ||
    fail "copied alone: $(cat "$work/err")"
  cmp -s "$work/alone/Inbox" "$work/damaged" || fail "copied alone: changed"
  # Moved to another file system (a new file at a new path; the trace stays where it was):
  # found by what it holds, and completed.
  mv "$work/alone/Inbox" "$work/alone/Moved"
  rm "$inbox"
  "${plain[@]}" "$work/alone/Moved" 2>"$work/err" || fail "moved: $(cat "$work/err")"
  cmp -s "$work/alone/Moved" "$work/expected" || fail "moved: not as one conversion"
  [ -z "$(ls "$state")" ] && [ ! -e "$inbox.quorvel" ] || fail "moved: left $(ls "$state" "$work")"
  echo "copied alone elsewhere: refused as half written; moved: completed"
  cp "$work/damaged" "$inbox"
  cp "$work/copy" "$copy"
  cp "$work/record" "$record"
  cp "$work/trace" "$inbox.quorvel"
  # Another temporary directory, or none: the record is in the state directory.
  TMPDIR=$work/elsewhere "${plain[@]}" "$inbox" 2>"$work/err" || fail "another TMPDIR: $(cat "$work/err")"
  cmp -s "$inbox" "$work/expected" || fail "another TMPDIR: not as one conversion"
  [ -z "$(ls "$state")" ] || fail "another TMPDIR: left $(ls "$state")"
  echo "rerun with another TMPDIR: completed"
  # Mail fetched since: kept after the completed conversion, and converted with it.
  printf 'From new\nSubject: fetched since\n\n\x1b$)C\n\x0e\x30\x21\x0f new\n' >"$work/mail"
  cat "$work/original" "$work/mail" >"$work/appended-expected"
  "${plain[@]}" "$work/appended-expected" || fail "cannot convert the reference copy"
  kill_halfway
  cat "$work/mail" >>"$inbox"
  "${plain[@]}" --check "$inbox" >"$work/out" || fail "--check: $(cat "$work/out")"
  grep -q "the next run completes it, keeping the $(stat -c %s "$work/mail") bytes of mail appended since" \
    "$work/out" || fail "--check does not say what the next run does: $(cat "$work/out")"
  "${plain[@]}" -o "$work/output" "$inbox" 2>"$work/err" && fail "-o converted a half-written folder"
  grep -qF -- "run 'quorvel-convert $inbox' first" "$work/err" || fail "-o: $(cat "$work/err")"
  # And another user's file in the state directory, which is passed over.
  cp "$record" "$state/planted.JNL"
  chown nobody "$state/planted.JNL"
  "${plain[@]}" "$inbox" 2>"$work/err" || fail "appended: $(cat "$work/err")"
  grep -q "keeping the" "$work/err" || fail "appended: $(cat "$work/err")"
  cmp -s "$inbox" "$work/appended-expected" || fail "appended: not the conversion of original and mail"
  [ "$(ls "$state")" = planted.JNL ] || fail "appended: left $(ls "$state")"
  rm "$state/planted.JNL"
  echo "mail appended since the kill: kept and converted; another user's record passed over"
  # The way back with mail appended since: the original, then the mail.
  kill_halfway
  cat "$work/mail" >>"$inbox"
  "$converter" --undo "$inbox" >"$work/out" 2>"$work/err" || fail "--undo: $(cat "$work/err")"
  cat "$work/original" "$work/mail" | cmp -s - "$inbox" || fail "--undo: not the original and the mail"
  [ -z "$(ls "$state")" ] || fail "--undo: left $(ls "$state")"
  # An undo killed in its turn is completed by the next one; a scratch file left beside a
  # whole record is no hindrance.
  kill_halfway
  cat "$work/mail" >>"$inbox"
  printf 'junk' >"${record%.JNL}.CHK"
  (strace -f -o /dev/null -P "$inbox" -e trace=write -e inject=write:signal=KILL:when=20 \
    "$converter" --undo "$inbox") >/dev/null 2>&1 && fail "the undo was not stopped"
  "$converter" --undo "$inbox" >"$work/out" 2>"$work/err" || fail "--undo after a killed --undo: $(cat "$work/err")"
  cat "$work/original" "$work/mail" | cmp -s - "$inbox" || fail "a killed --undo, completed: not the original and the mail"
  [ -z "$(ls "$state")" ] || fail "a killed --undo, completed: left $(ls "$state")"
  echo "--undo killed half-way, then run again: the original and the mail"
  # A write of the undo's own that fails is told as it is, and changes nothing.
  kill_halfway
  (strace -f -o /dev/null -P "${record%.JNL}.OLD" -e trace=write -e inject=write:error=ENOSPC:when=1 \
    "$converter" --undo "$inbox") 2>"$work/err" && fail "--undo whose write failed: exit 0"
  grep -q "No space left" "$work/err" && ! grep -q "changed since" "$work/err" || fail "--undo whose write failed: $(cat "$work/err")"
  cmp -s "$inbox" "$work/damaged" && ! compgen -G "$state/*.OLD" >/dev/null || fail "--undo whose write failed changed something"
  # So is the write of its next record, whose close then fails too.
  (strace -f -o /dev/null -P "${record%.JNL}.JNW" -e trace=write,close -e inject=write:error=ENOSPC:when=1 \
    -e inject=close:error=EIO:when=1 "$converter" --undo "$inbox") 2>"$work/err" && fail "--undo whose record failed: exit 0"
  grep -q "No space left" "$work/err" && ! grep -q "Input/output" "$work/err" ||
    fail "--undo whose record's write and close failed: $(cat "$work/err")"
  cmp -s "$inbox" "$work/damaged" && cmp -s "$record" "$work/record" || fail "--undo whose record failed changed something"
  "$converter" --undo "$inbox" 2>"$work/err" || fail "--undo after a failed write: $(cat "$work/err")"
  cmp -s "$inbox" "$work/original" || fail "--undo after a failed write: not the original"
  # An undo killed after it deleted its record: its old file went before the record, and
  # the next --undo finds nothing to undo and deletes the copy, saying so.
  kill_halfway
  (strace -f -o /dev/null -P "$copy" -e trace=unlink -e inject=unlink:signal=KILL:when=1 \
    "$converter" --undo "$inbox") >/dev/null 2>&1 && fail "the undo was not stopped at its copy"
  cmp -s "$inbox" "$work/original" || fail "an undo stopped at its copy: not the original"
  "$converter" --undo "$inbox" 2>"$work/err" && fail "an undo stopped at its copy: something to undo"
  grep -q "nothing to undo" "$work/err" && grep -qF "notice: deleted $copy" "$work/err" ||
    fail "an undo stopped at its copy: $(cat "$work/err")"
  [ -z "$(ls "$state")" ] || fail "an undo stopped at its copy: left $(ls "$state")"
  # Killed as its record goes, its old file gone: the next run ends it, the folder put back.
  kill_halfway
  (strace -f -o /dev/null -P "$record" -e trace=unlink -e inject=unlink:signal=KILL:when=1 \
    "$converter" --undo "$inbox") >/dev/null 2>&1 && fail "the undo was not stopped at its record"
  [ -e "$record" ] && [ ! -e "${record%.JNL}.OLD" ] || fail "an undo stopped at its record: left $(ls "$state")"
  "$converter" --undo "$inbox" 2>"$work/err" || fail "an undo stopped at its record: $(cat "$work/err")"
  cmp -s "$inbox" "$work/original" || fail "an undo stopped at its record: not the original"
  [ -z "$(ls "$state")" ] || fail "an undo stopped at its record: left $(ls "$state")"
  echo "--undo killed after its old file went: the next run ended it, leaving no old file or copy"
  "$converter" --undo "$inbox" 2>"$work/err" && fail "a second --undo found something to undo"
  grep -q "nothing to undo" "$work/err" || fail "a second --undo: $(cat "$work/err")"
  echo "--undo with mail appended since: the original and the mail"
  ;;
grow)
  # Quoted-printable ISO-2022-KR, which the relabelling writes as quoted-printable EUC-KR:
  # each two-byte character takes 6 bytes rather than 2.
  python3 - "$work/qp" <<'PY'
import random, sys
random.seed(1)
def pair():
    while True:
        a, b = 0x30 + random.randrange(0x10), 0x21 + random.randrange(0x5e)
        if 0x3D not in (a, b):
            return chr(a) + chr(b)
mails = []
for i in range(3000):
    body = "=1B$)C\n" + "".join("=0E" + "".join(pair() for _ in range(8)) + "=0F line %d\n" % j for j in range(10))
    mails.append("From sender%d Mon Sep 23 10:00:00 1996\nSubject: mail %d\nMIME-Version: 1.0\n"
                 "Content-Type: text/plain; charset=ISO-2022-KR\nContent-Transfer-Encoding: quoted-printable\n\n%s\n"
                 % (i, i, body))
open(sys.argv[1], "w").write("".join(mails))
PY
  cp "$work/qp" "$work/qp-expected"
  "$converter" "$work/qp-expected" || fail "cannot relabel the reference copy"
  [ "$(stat -c %s "$work/qp-expected")" -gt "$(stat -c %s "$work/qp")" ] || fail "the relabelling does not grow it"
  # The folder's fifth write is within the original's length, its thirtieth past it; its
  # first flush follows the whole rewrite.
  for point in write:when=5 write:when=30 fsync:when=1; do
    for style in add blank; do
      for mode in convert undo; do
        what="killed at ${point/:when=/ }, a mail appended (${style}), $mode"
        cp "$work/qp" "$inbox"
        (strace -f -o /dev/null -P "$inbox" -e trace="${point%%:*}" -e inject="${point%%:*}:signal=KILL:${point#*:}" \
          "$converter" "$inbox") >/dev/null 2>&1 && fail "$what: not stopped"
        compgen -G "$state/*.JNL" >/dev/null || fail "$what: no record"
        size=$(stat -c %s "$inbox")
        if [ $style = add ]; then
          python3 -c 'import mailbox, sys, email.message
m = email.message.Message(); m["Subject"] = "since"; m.set_payload("new\n")
box = mailbox.mbox(sys.argv[1]); box.add(m); box.flush(); box.close()' "$inbox"
        else
          printf '\nFrom new Thu Jan  1 00:00:00 2026\nSubject: since\n\nnew\n' >>"$inbox"
        fi
        tail -c +$((size + 1)) "$inbox" >"$work/mail"
        if [ $mode = convert ]; then
          "$converter" "$inbox" 2>"$work/err" || fail "$what: the next run failed: $(cat "$work/err")"
          grep -q "keeping the $(stat -c %s "$work/mail") bytes" "$work/err" || fail "$what: $(cat "$work/err")"
          cat "$work/qp-expected" "$work/mail" | cmp -s - "$inbox" || fail "$what: not the conversion, then the mail once"
        else
          "$converter" --undo "$inbox" >/dev/null 2>"$work/err" || fail "$what: $(cat "$work/err")"
          cat "$work/qp" "$work/mail" | cmp -s - "$inbox" || fail "$what: not the original, then the mail once"
        fi
        [ -z "$(ls "$state")" ] || fail "$what: left $(ls "$state")"
        rm -f "$inbox.lock"
      done
    done
    echo "killed at ${point/:when=/ }: the mail appended since kept once, converted or undone"
  done
  ;;
*)
  fail "unknown case"
  ;;
esac
echo "PASSED ($case_name)"
