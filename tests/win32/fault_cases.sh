#!/usr/bin/env bash
# Fault cases of the Windows converter under Wine: the job must fail and lose nothing.
#   fault_cases.sh CASE QUORVEL_CONVERT_EXE FAULT_HELPER_EXE
# CASE is one of:
#   held-open       the Inbox is held open by another process, without sharing, then
#                   shared for reading only: the job fails, the Inbox is untouched and no
#                   copy is left
#   disk-full       the CR LF rewrite of an Inbox with bare LF line ends does not fit on its
#                   drive: the job fails, the Inbox comes back byte for byte from the copy,
#                   the copy is kept and Inbox.snm stays
#   read-only       the Inbox is on a read-only mount (root ignores a file's own mode): the
#                   job fails, the Inbox is untouched and no copy is left
#   state-missing   %LOCALAPPDATA% does not exist, or its Quorvel directory is a link: the
#                   job fails first, and makes neither
#   state-full      the state directory's drive is full: the job fails first, and the
#                   partial copy is removed
#   concurrent      two conversions of one folder at once: one converts, the other finds it
#                   in use; the folder ends converted exactly once
#   append          a Windows program appends mail while the folder converts: each mail it
#                   added is in the final folder, or its open was refused
#   hangul          in the English locale, a folder under a Hangul path converts
#   killed          the converter ended at once ("taskkill /F") half-way through rewriting a
#                   folder with bare LF line ends, which the rewrite makes longer: with the
#                   state directory as it was left and the temporary directory emptied, the
#                   next run completes the conversion, as one uninterrupted run would have
#                   made it; before that, a run with another state directory is refused,
#                   naming the trace left beside the folder
#   ctrl-c          Ctrl-C in the console of an in-place conversion of a folder with bare LF
#                   line ends, at twenty moments from its first write to the folder to its
#                   end: each next run completes the conversion, as one uninterrupted run
#                   would have made it
#   interrupted     Ctrl-C in the console of "quorvel-convert -o OUTPUT -" while it writes:
#                   OUTPUT stays as it was, and no temporary file is left beside it
#   prompt          at the Windows prompt (cmd.exe, which leaves patterns to the program):
#                   "quorvel-convert *.mbx *.eml" converts the folders the patterns match by
#                   their long names, in any case, a Hangul name among them, and nothing
#                   else (not a.eml~ nor b.emlx); a pattern that matches nothing is named in
#                   its error; "/?" shows the help
#   dropped         files dropped on the program (their full paths, as Explorer passes
#                   them): a picture, a zip, a random binary and a text with bare LF line
#                   ends stay byte for byte as they were, each named as skipped, beside a
#                   mail folder that converts; exit 0
#   legacy-code-page  the program with its manifest's UTF-8 code page taken out, under the
#                   Korean ANSI code page 949 (Korean Windows before 1903): -R over a Hangul
#                   directory converts, a pattern in one expands, and a message names a
#                   Hangul file in UTF-8
#   prompt-bat      from a .bat run by cmd: -R "DIR\" (a trailing backslash before the
#                   closing quote) is the directory, a quoted pattern and one after \\?\
#                   expand, a pattern that matches nothing says so
#   console         alone in a console of its own (as Explorer starts it) the program waits
#                   for Enter, saying so in Korean on a Korean system, and with no FILE says
#                   how to use it; in a console it shares (a prompt's) it does not wait
#   names           names the system's path normalisation would change reach their own
#                   file: "mail." beside "mail", "aux.mbox" (not the device AUX), a path of
#                   more than 300 characters; "CON" is refused as a device, at once
# The folders are the old mail client's: converted as one text, their labels as they are.
# Runs inside a Wine prefix of its own (scripts/with-wine), each case with a temporary
# directory and a %LOCALAPPDATA% of its own.  The read-only case and the two cases with a
# full drive mount a file system and map it as a Wine drive; where mounting is not possible
# (not root, no capability) they print why and exit 77, which the test runner counts as
# skipped.
set -euo pipefail

SKIP=77
case_name=$1
converter_exe=$2
helper_exe=$3

fail() { echo "FAILED ($case_name): $*"; exit 1; }

[ -n "${WINEPREFIX:-}" ] || fail "no WINEPREFIX: run under scripts/with-wine"
# Linux paths reach Windows programs through drive Z:, which Wine maps to /.
[ "$(readlink "$WINEPREFIX/dosdevices/z:")" = / ] || fail "drive Z: of the Wine prefix is not /"
windows_path() { printf 'Z:%s' "${1//\//\\}"; }

work=$(mktemp -d "${TMPDIR:-/tmp}/quorvel-faults.XXXXXX")
mounted=
drive_link=
holder=
cleanup() {
  if [ -n "$holder" ]; then
    rm -f "$work/ready"
    # It lets go within a tenth of a second; past that, end it.
    for _ in $(seq 50); do kill -0 "$holder" 2>/dev/null || break; sleep 0.1; done
    kill "$holder" 2>/dev/null || true
    wait "$holder" 2>/dev/null || true
  fi
  [ -n "$drive_link" ] && rm -f "$drive_link"
  if [ -n "$mounted" ]; then
    umount "$mounted" 2>/dev/null || umount -l "$mounted" 2>/dev/null || echo "cannot unmount $mounted"
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# A small tmpfs at $work/small, mapped as drive $1 (a letter), or else a free one of U: to Y:;
# $small_drive names it.  Each case has a letter of its own: Wine may remember a drive.
mount_small_drive() {
  mkdir "$work/small"
  if [ "$(id -u)" -ne 0 ]; then
    echo "SKIP ($case_name): mounting a size-limited tmpfs needs root"
    exit $SKIP
  fi
  local why
  if ! why=$(mount -t tmpfs -o size=256k,mode=0755 quorvel-test "$work/small" 2>&1); then
    echo "SKIP ($case_name): cannot mount a size-limited tmpfs here: ${why%%$'\n'*}"
    exit $SKIP
  fi
  mounted=$work/small
  local letter
  for letter in "$1" u v w x y; do
    if [ ! -e "$WINEPREFIX/dosdevices/$letter:" ]; then
      drive_link=$WINEPREFIX/dosdevices/$letter:
      ln -s "$work/small" "$drive_link"
      small_drive=${letter^^}:
      return
    fi
  done
  fail "no free drive letter in the Wine prefix"
}

# Fills the small drive to the last byte.
fill_small_drive() {
  dd if=/dev/zero of="$work/small/filler" bs=4096 2>/dev/null || true
  [ "$(df --output=avail -B1 "$work/small" | tail -1)" -eq 0 ] || fail "the small drive is not full"
}

# A mail folder with bare LF line ends, of many short lines: its rewrite with CR LF line
# ends is larger by far more than a page.
write_inbox() {
  python3 - "$1" <<'EOF'
import sys
lines = [b"From - Mon Sep 23 10:00:00 1996", b"Content-Type: text/plain; charset=ISO-2022-KR",
         b"", b"\x1b$)C", b"\x0e>H3gGO<<?d\x0f"]
lines += [b"line %05d of the mail" % i for i in range(6000)]
open(sys.argv[1], "wb").write(b"\n".join(lines) + b"\n")
EOF
}

# Runs the converter on the folder $1 with the temporary directory $2 and %LOCALAPPDATA% $3,
# all Windows paths, by default the case's own; leaves its exit status in $status and its
# messages in $work/stderr.
convert() {
  status=0
  wine "$helper_exe" run-with-temp "${2:-$(windows_path "$work/temp")}" "${3:-$(windows_path "$work/home")}" \
    "$(windows_path "$converter_exe")" --keep-labels "$1" </dev/null >"$work/stdout" 2>"$work/stderr" || status=$?
}

stamp() { stat -c '%s %y' "$1"; }

# The job failed and left the folder as it was.
expect_failed_untouched() {
  local inbox=$1 original=$2 before=$3
  [ "$status" -eq 1 ] || fail "the converter exited $status, not 1 ($(cat "$work/stderr"))"
  grep -q "cannot convert" "$work/stderr" || fail "no message: $(cat "$work/stderr")"
  cmp -s "$inbox" "$original" || fail "the Inbox changed"
  [ "$(stamp "$inbox")" = "$before" ] || fail "the Inbox was written to"
  [ -e "$inbox.snm" ] || fail "Inbox.snm was deleted"
}

# The names of the job's temporary copies in directory $1, and of every file the job left in
# the state directory.
copies_in() { find "$1" -maxdepth 1 -type f -iname 'qvl*.tmp' -printf '%f\n'; }
state=$work/home/Quorvel
left_in_state() { find "$state" -mindepth 1 -printf '%f\n' 2>/dev/null || true; }

mkdir "$work/mail" "$work/temp" "$work/home"
inbox=$work/mail/Inbox
write_inbox "$inbox"
echo summary >"$inbox.snm"
cp "$inbox" "$work/original"

case $case_name in
held-open)
  for share in none read; do
    before=$(stamp "$inbox")
    wine "$helper_exe" hold "$(windows_path "$inbox")" "$share" "$(windows_path "$work/ready")" 120 \
      </dev/null >"$work/holder.log" 2>&1 &
    holder=$!
    for _ in $(seq 600); do [ -e "$work/ready" ] && break; sleep 0.1; done
    [ -e "$work/ready" ] || fail "the helper did not open the Inbox: $(cat "$work/holder.log")"
    convert "$(windows_path "$inbox")"
    rm -f "$work/ready"
    wait "$holder" || fail "the helper failed: $(cat "$work/holder.log")"
    holder=
    expect_failed_untouched "$inbox" "$work/original" "$before"
    echo "Inbox held open, sharing $share: exit 1, $(cat "$work/stderr")"
    grep -qiE "sharing violation|being used|in use" "$work/stderr" || fail "the reason is not the sharing"
    [ -z "$(left_in_state)" ] || fail "left in the state directory: $(left_in_state)"
  done
  ;;
disk-full)
  # The Inbox lives on the small drive, its copy in the ordinary state directory.
  mount_small_drive q
  small_inbox=$work/small/Inbox
  cp "$work/original" "$small_inbox"
  echo summary >"$small_inbox.snm"
  fill_small_drive
  convert "$small_drive\\Inbox"
  [ "$status" -eq 1 ] || fail "the converter exited $status, not 1 ($(cat "$work/stderr"))"
  cmp -s "$small_inbox" "$work/original" || fail "the Inbox did not come back byte for byte"
  [ -e "$small_inbox.snm" ] || fail "Inbox.snm was deleted"
  copy=$(copies_in "$state")
  [ -n "$copy" ] && [ "$(echo "$copy" | wc -l)" -eq 1 ] || fail "expected one copy, found: $copy"
  cmp -s "$state/$copy" "$work/original" || fail "the copy does not hold the Inbox"
  echo "Rewrite on a full drive: exit 1, $(cat "$work/stderr"); Inbox restored, copy kept"
  ;;
read-only)
  if [ "$(id -u)" -ne 0 ]; then
    echo "SKIP ($case_name): a read-only bind mount needs root"
    exit $SKIP
  fi
  if ! why=$(mount --bind "$work/mail" "$work/mail" 2>&1); then
    echo "SKIP ($case_name): cannot bind-mount here: ${why%%$'\n'*}"
    exit $SKIP
  fi
  mounted=$work/mail
  mount -o remount,bind,ro "$work/mail" || fail "cannot make the mount read-only"
  before=$(stamp "$inbox")
  convert "$(windows_path "$inbox")"
  expect_failed_untouched "$inbox" "$work/original" "$before"
  [ -z "$(left_in_state)" ] || fail "left in the state directory: $(left_in_state)"
  echo "Read-only Inbox: exit 1, $(cat "$work/stderr"); no copy left"
  ;;
state-missing)
  before=$(stamp "$inbox")
  convert "$(windows_path "$inbox")" "" "$(windows_path "$work/no-such-directory")"
  expect_failed_untouched "$inbox" "$work/original" "$before"
  grep -q "state directory" "$work/stderr" || fail "the state directory is not named: $(cat "$work/stderr")"
  [ ! -e "$work/no-such-directory" ] || fail "%LOCALAPPDATA% was made"
  echo "Missing %LOCALAPPDATA%: exit 1, $(cat "$work/stderr")"
  # Wine shows a Unix link as a reparse point, as Windows shows a junction.
  mkdir "$work/elsewhere"
  ln -s "$work/elsewhere" "$state"
  convert "$(windows_path "$inbox")"
  expect_failed_untouched "$inbox" "$work/original" "$before"
  grep -q "state directory" "$work/stderr" || fail "the state directory is not named: $(cat "$work/stderr")"
  [ -z "$(find "$work" -iname 'qvl*')" ] || fail "a file of the job's was made somewhere"
  echo "The state directory a link: exit 1, $(cat "$work/stderr")"
  ;;
state-full)
  mount_small_drive t
  mkdir -p "$work/small/home/Quorvel"
  fill_small_drive
  before=$(stamp "$inbox")
  convert "$(windows_path "$inbox")" "" "$small_drive\\home"
  expect_failed_untouched "$inbox" "$work/original" "$before"
  [ -z "$(ls "$work/small/home/Quorvel")" ] || fail "left in the state directory: $(ls "$work/small/home/Quorvel")"
  echo "Full state directory: exit 1, $(cat "$work/stderr")"
  ;;
concurrent|append)
  # A folder that takes the job a good part of a second, and what one conversion makes of it.
  python3 "$(dirname "$0")/../../bench/make-folder.py" "$work/original" 30 >/dev/null
  cp "$work/original" "$work/expected"
  convert "$(windows_path "$work/expected")"
  [ "$status" -eq 0 ] || fail "cannot convert the reference copy: $(cat "$work/stderr")"
  cp "$work/original" "$inbox"
  if [ "$case_name" = concurrent ]; then
    wine "$helper_exe" run-with-temp "$(windows_path "$work/temp")" "$(windows_path "$work/home")" \
      "$(windows_path "$converter_exe")" --keep-labels "$(windows_path "$inbox")" </dev/null >/dev/null \
      2>"$work/stderr1" & first=$!
    sleep 0.2
    convert "$(windows_path "$inbox")"
    status1=0
    wait "$first" || status1=$?
    for outcome in "$status1:$work/stderr1" "$status:$work/stderr"; do
      if [ "${outcome%%:*}" -ne 0 ]; then
        grep -qiE "sharing violation|being used|in use" "${outcome#*:}" ||
          fail "a run failed for another reason: $(cat "${outcome#*:}")"
      fi
    done
    cmp -s "$inbox" "$work/expected" || fail "the folder is not converted exactly once"
    echo "Two conversions at once: exits $status1 and $status; the folder converted once"
  else
    wine "$helper_exe" append "$(windows_path "$inbox")" 40 </dev/null >"$work/appends" 2>&1 & appender=$!
    sleep 0.2
    convert "$(windows_path "$inbox")"
    wait "$appender" || fail "the appender failed: $(cat "$work/appends")"
    # Had an append held the folder just then, the conversion rightly finds it in use.
    [ "$status" -eq 0 ] || grep -qiE "sharing violation|being used|in use" "$work/stderr" ||
      fail "the conversion failed: $(cat "$work/stderr")"
    for n in $(sed -n 's/^added //p' "$work/appends" | tr -d '\r'); do
      grep -qa "^mail $n"$'\r'"\?$" "$inbox" || fail "mail $n was appended and is gone"
    done
    echo "Appending while converting: $(grep -c ^added "$work/appends") of 40 added, each one kept"
  fi
  [ -z "$(left_in_state)" ] || fail "left in the state directory: $(left_in_state)"
  ;;
killed)
  # Bare LF line ends: the CR LF rewrite runs ahead of the bytes of the original that it
  # has read, so only the copy can complete it.
  python3 "$(dirname "$0")/../../bench/make-folder.py" "$work/original" 30 >/dev/null
  cp "$work/original" "$work/expected"
  convert "$(windows_path "$work/expected")"
  [ "$status" -eq 0 ] || fail "cannot convert the reference copy: $(cat "$work/stderr")"
  cp "$work/original" "$inbox"
  status=0
  touch -d '1 hour ago' "$inbox"
  wine "$helper_exe" kill-when-written "$(windows_path "$inbox")" "$(windows_path "$work/temp")" \
    "$(windows_path "$work/home")" "$(windows_path "$converter_exe")" --keep-labels "$(windows_path "$inbox")" \
    </dev/null >/dev/null 2>&1 || status=$?
  [ "$status" -eq 0 ] || fail "the converter was not ended half-way (helper exit $status)"
  cmp -s "$inbox" "$work/original" && fail "the folder was not written to before the end"
  [ -n "$(find "$state" -iname '*.jnl')" ] || fail "no record in the state directory: $(left_in_state)"
  # The trace beside the folder keeps a run with another state directory out.
  [ -e "$inbox.quorvel" ] || fail "no trace beside the folder"
  cp "$inbox" "$work/left"
  mkdir -p "$work/other-home"
  convert "$(windows_path "$inbox")" "" "$(windows_path "$work/other-home")"
  [ "$status" -eq 1 ] || fail "with another state directory, the run exited $status: $(cat "$work/stderr")"
  grep -q "its record is not in this run's state directory" "$work/stderr" &&
    grep -qiF "$(windows_path "$inbox").quorvel" "$work/stderr" ||
    fail "with another state directory, the trace is not named: $(cat "$work/stderr")"
  cmp -s "$inbox" "$work/left" || fail "with another state directory, the folder was written"
  # What a cleaner of temporary files would leave.
  rm -rf "${work:?}"/temp/*
  convert "$(windows_path "$inbox")"
  [ "$status" -eq 0 ] || fail "the next run failed: $(cat "$work/stderr")"
  grep -q "completed an interrupted conversion" "$work/stderr" || fail "no word of it: $(cat "$work/stderr")"
  cmp -s "$inbox" "$work/expected" || fail "the folder is not as one conversion makes it"
  [ -z "$(left_in_state)" ] || fail "left in the state directory: $(left_in_state)"
  [ ! -e "$inbox.quorvel" ] || fail "the trace stays beside the folder"
  echo "Ended half-way, then run again: $(cat "$work/stderr" | tr -d '\r'); as one conversion"
  ;;
ctrl-c)
  python3 "$(dirname "$0")/../../bench/make-folder.py" "$work/original" 30 >/dev/null
  cp "$work/original" "$work/expected"
  convert "$(windows_path "$work/expected")"
  [ "$status" -eq 0 ] || fail "cannot convert the reference copy: $(cat "$work/stderr")"
  # How long the job runs after its first write to the folder, pressed at no moment.
  interrupt() {
    status=0
    wine "$helper_exe" interrupt-when-changed "$(windows_path "$inbox")" "$1" "$(windows_path "$work/temp")" \
      "$(windows_path "$work/home")" "$(windows_path "$converter_exe")" --keep-labels "$(windows_path "$inbox")" \
      </dev/null >"$work/helper" 2>"$work/stderr" || status=$?
  }
  cp "$work/original" "$inbox"
  touch -d '1 hour ago' "$inbox"
  interrupt 600000
  [ "$status" -eq 3 ] || fail "uninterrupted, the helper exited $status: $(cat "$work/helper" "$work/stderr")"
  cmp -s "$inbox" "$work/expected" || fail "uninterrupted, the folder is not as one conversion makes it"
  span=$(sed -n 's/^ended \([0-9]*\) ms after.*/\1/p' "$work/helper")
  [ -n "$span" ] || fail "the helper did not say how long the job ran: $(cat "$work/helper")"
  stopped=0
  for moment in $(seq 0 19); do
    cp "$work/original" "$inbox"
    touch -d '1 hour ago' "$inbox"
    interrupt $((span * moment / 20))
    [ "$status" -eq 0 ] && stopped=$((stopped + 1))
    [ "$status" -eq 0 ] || [ "$status" -eq 3 ] || fail "moment $moment: the helper exited $status"
    convert "$(windows_path "$inbox")"
    [ "$status" -eq 0 ] || fail "moment $moment: the next run failed: $(cat "$work/stderr")"
    cmp -s "$inbox" "$work/expected" || fail "moment $moment: the folder is not as one conversion makes it"
    [ -z "$(left_in_state)" ] || fail "moment $moment: left in the state directory: $(left_in_state)"
    [ ! -e "$inbox.quorvel" ] || fail "moment $moment: the trace stays beside the folder"
  done
  # Most moments must fall inside the job for the case to mean anything.
  [ "$stopped" -ge 10 ] || fail "Ctrl-C ended only $stopped of 20 runs"
  echo "Ctrl-C at 20 moments of ${span} ms ($stopped ended by it), then run again: each as one conversion"
  ;;
hangul)
  # Wine takes file names through the Unix locale; the program's own code page is UTF-8.
  export LC_ALL=en_US.UTF-8
  korean=$work/메일/받은편지함
  mkdir -p "$korean"
  printf 'From a\r\n\x1b$)C\r\n\x0e\x30\x21\x0f\r\n' >"$korean/Inbox"
  echo summary >"$korean/Inbox.snm"
  convert "$(windows_path "$korean/Inbox")"
  [ "$status" -eq 0 ] || fail "the converter exited $status: $(cat "$work/stderr")"
  [ "$(od -An -tx1 "$korean/Inbox" | tr -d ' \n')" = "46726f6d20610d0ab0a10d0a" ] ||
    fail "the folder under a Hangul path was not converted"
  [ ! -e "$korean/Inbox.snm" ] || fail "its Inbox.snm stays"
  echo "A folder under a Hangul path converts under the English locale"
  ;;
legacy-code-page)
  # Korean Windows before 1903 ignores the manifest's UTF-8 code page: a copy of the
  # program with that element blanked out, run with the ANSI code page 949 (the Korean
  # locale), over Hangul directory and file names, must take and tell them as they are.
  export LC_ALL=ko_KR.UTF-8
  legacy=$work/legacy/quorvel-convert.exe
  mkdir -p "$work/legacy"
  python3 - "$converter_exe" "$legacy" <<'EOF'
import re, sys
program = open(sys.argv[1], "rb").read()
element = re.search(rb"<activeCodePage [^>]*>UTF-8</activeCodePage>", program)
assert element, "no activeCodePage element in the program's manifest"
open(sys.argv[2], "wb").write(program[:element.start()] + b" " * len(element.group()) + program[element.end():])
EOF
  tree=$work/트리
  mkdir -p "$tree/받은편지함" "$tree/보관"
  for folder in "$tree/받은편지함/편지.mbox" "$tree/보관/옛날.mbx" "$tree/보관/둘째.mbx"; do
    printf 'From a\r\n\x1b$)C\r\n\x0e\x30\x21\x0f\r\n' >"$folder"
  done
  status=0
  wine "$helper_exe" run-with-temp "$(windows_path "$work/temp")" "$(windows_path "$work/home")" \
    "$(windows_path "$legacy")" -k -R "$(windows_path "$tree/받은편지함")" </dev/null >"$work/stdout" \
    2>"$work/stderr" || status=$?
  [ "$status" -eq 0 ] || fail "-R over a Hangul directory: exit $status: $(cat "$work/stderr")"
  [ "$(od -An -tx1 "$tree/받은편지함/편지.mbox" | tr -d ' \n')" = "46726f6d20610d0ab0a10d0a" ] ||
    fail "-R over a Hangul directory converted nothing: $(cat "$work/stdout" "$work/stderr")"
  # A pattern in a Hangul directory, a Hangul name that is not there: its message in UTF-8.
  status=0
  wine "$helper_exe" run-with-temp "$(windows_path "$work/temp")" "$(windows_path "$work/home")" \
    "$(windows_path "$legacy")" -k "$(windows_path "$tree/보관")\\*.mbx" "$(windows_path "$tree/없는편지.mbx")" \
    </dev/null >"$work/stdout" 2>"$work/stderr" || status=$?
  [ "$status" -eq 1 ] || fail "a pattern and a missing file: exit $status, not 1: $(cat "$work/stderr")"
  for folder in "$tree/보관/옛날.mbx" "$tree/보관/둘째.mbx"; do
    [ "$(od -An -tx1 "$folder" | tr -d ' \n')" = "46726f6d20610d0ab0a10d0a" ] || fail "$folder was not converted"
  done
  [ "$(wc -l <"$work/stderr")" -eq 1 ] && grep -q "트리.없는편지\.mbx: cannot convert: " "$work/stderr" ||
    fail "the missing file's message is not its UTF-8 name: $(od -c "$work/stderr" | head -5)"
  echo "ANSI code page 949: -R, a pattern and a message over Hangul names"
  ;;
prompt-bat)
  # The prompt's habits, from a .bat run by cmd: a quoted directory with a backslash at its
  # end, quoted patterns and patterns after \\?\, a pattern that matches nothing.
  export LC_ALL=en_US.UTF-8
  mkdir -p "$work/my mail/sub" "$work/boxes"
  for folder in "$work/my mail/sub/a.mbox" "$work/boxes/b.mbox" "$work/boxes/c.mbox" "$work/boxes/d.mbox"; do
    printf 'From a\r\n\x1b$)C\r\n\x0e\x30\x21\x0f\r\n' >"$folder"
  done
  exe=$(windows_path "$converter_exe")
  printf '%s\r\n' "@echo off" "set LOCALAPPDATA=$(windows_path "$work/home")" \
    "\"$exe\" -k -R \"$(windows_path "$work/my mail")\\\" -q" "echo status %ERRORLEVEL%" \
    "\"$exe\" -k \"$(windows_path "$work/boxes")\\b*.mbox\" \\\\?\\$(windows_path "$work/boxes")\\c*.mbox" \
    "echo status %ERRORLEVEL%" \
    "\"$exe\" -k \"$(windows_path "$work/boxes")\\d.mbox\" \"$(windows_path "$work/boxes")\\none*.box\"" \
    "echo status %ERRORLEVEL%" >"$work/prompt.bat"
  status=0
  wine cmd /c "$(windows_path "$work/prompt.bat")" </dev/null >"$work/stdout" 2>"$work/stderr" || status=$?
  [ "$(tr -d '\r' <"$work/stdout" | grep '^status')" = "$(printf 'status 0\nstatus 0\nstatus 1')" ] ||
    fail "exit statuses: $(cat "$work/stdout" "$work/stderr")"
  for folder in "my mail/sub/a.mbox" boxes/b.mbox boxes/c.mbox boxes/d.mbox; do
    [ "$(od -An -tx1 "$work/$folder" | tr -d ' \n')" = "46726f6d20610d0ab0a10d0a" ] || fail "$folder was not converted"
  done
  [ "$(wc -l <"$work/stderr")" -eq 1 ] &&
    grep -q "^quorvel-convert: .*none\*\.box: cannot convert: no file matches this pattern" "$work/stderr" ||
    fail "the pattern that matched nothing: $(cat "$work/stderr")"
  echo "-R \"DIR\\\", quoted and \\\\?\\ patterns, an unmatched pattern named: $(tr -d '\r' <"$work/stderr")"
  ;;
console)
  # Started as Explorer starts it, the program is alone in its console: it waits for Enter
  # (in Korean on a Korean system), and with no FILE says how to use it; started in a
  # console another program holds, as from a prompt, it never waits.
  export LC_ALL=ko_KR.UTF-8
  mkdir "$work/console"
  printf 'From a\r\n\x1b$)C\r\n\x0e\x30\x21\x0f\r\n' >"$work/console/편지.mbx"
  status=0
  wine "$helper_exe" console new "$(windows_path "$work/screen")" "$(windows_path "$converter_exe")" </dev/null \
    >/dev/null 2>"$work/stderr" || status=$?
  [ "$status" -eq 0 ] || fail "double-clicked: helper exit $status, not 0 (waited for Enter): $(cat "$work/screen")"
  grep -q "끌어다 놓으세요" "$work/screen" && grep -q "창을 닫으려면 Enter 키를 누르십시오" "$work/screen" ||
    fail "double-clicked: the console shows: $(cat "$work/screen")"
  status=0
  wine "$helper_exe" console new "$(windows_path "$work/screen")" "$(windows_path "$converter_exe")" -k \
    "$(windows_path "$work/console/편지.mbx")" "$(windows_path "$work/console/없는편지.mbx")" </dev/null \
    >/dev/null 2>"$work/stderr" || status=$?
  [ "$status" -eq 0 ] || fail "a file dropped: helper exit $status, not 0: $(cat "$work/screen")"
  grep -q "없는편지.mbx: cannot convert" "$work/screen" || fail "the message on the console: $(cat "$work/screen")"
  [ "$(od -An -tx1 "$work/console/편지.mbx" | tr -d ' \n')" = "46726f6d20610d0ab0a10d0a" ] ||
    fail "the dropped file was not converted"
  status=0
  wine "$helper_exe" console shared "$(windows_path "$work/screen")" "$(windows_path "$converter_exe")" -k \
    "$(windows_path "$work/console/없는편지.mbx")" </dev/null >/dev/null 2>"$work/stderr" || status=$?
  [ "$status" -eq 3 ] || fail "from a prompt: helper exit $status, not 3 (ended without waiting): $(cat "$work/screen")"
  ! grep -q "Enter" "$work/screen" || fail "from a prompt, it asked for Enter: $(cat "$work/screen")"
  echo "alone in its console it waits for Enter, in Korean; in a shared console it does not"
  ;;
interrupted)
  mkdir "$work/out"
  echo "as it was" >"$work/out/result"
  status=0
  wine "$helper_exe" interrupt-when-written "$(windows_path "$work/out")" "$(windows_path "$converter_exe")" \
    --keep-labels -o "$(windows_path "$work/out/result")" - </dev/null >/dev/null 2>"$work/stderr" || status=$?
  [ "$status" -eq 0 ] || fail "Ctrl-C did not end the converter (helper exit $status): $(cat "$work/stderr")"
  [ "$(cat "$work/out/result")" = "as it was" ] || fail "OUTPUT was replaced"
  [ -z "$(copies_in "$work/out")" ] || fail "a temporary file was left: $(copies_in "$work/out")"
  echo "Ctrl-C during -o: OUTPUT as it was, no temporary file"
  ;;
prompt)
  export LC_ALL=en_US.UTF-8
  mkdir "$work/prompt"
  printf 'From a\r\n\x1b$)C\r\n\x0e\x30\x21\x0f\r\n' >"$work/prompt/Inbox.mbx"
  cp "$work/prompt/Inbox.mbx" "$work/prompt/받은편지.mbx"
  # Names that *.mbx and *.eml match only by a short name or the first three letters of
  # an extension (as FindFirstFile matches them): a backup, a .emlx.
  for name in Inbox.txt a.EML a.eml~ b.emlx; do cp "$work/prompt/Inbox.mbx" "$work/prompt/$name"; done
  cp "$work/prompt/Inbox.mbx" "$work/unconverted"
  # The patterns reach the program as they were typed: cmd.exe expands none.
  status=0
  (cd "$work/prompt" &&
    wine cmd /c "set LOCALAPPDATA=$(windows_path "$work/home")&& $(windows_path "$converter_exe") --keep-labels *.mbx *.eml none*.box") \
    </dev/null >"$work/stdout" 2>"$work/stderr" || status=$?
  [ "$status" -eq 1 ] || fail "*.mbx *.eml none*.box: exit $status, not 1: $(cat "$work/stderr")"
  for name in Inbox.mbx 받은편지.mbx a.EML; do
    [ "$(od -An -tx1 "$work/prompt/$name" | tr -d ' \n')" = "46726f6d20610d0ab0a10d0a" ] || fail "$name was not converted"
  done
  for name in Inbox.txt a.eml~ b.emlx; do
    cmp -s "$work/prompt/$name" "$work/unconverted" || fail "$name, which the patterns do not match, changed"
  done
  [ "$(wc -l <"$work/stderr")" -eq 1 ] && grep -q "^quorvel-convert: none\*\.box: cannot convert: " "$work/stderr" ||
    fail "the pattern that matched nothing: $(cat "$work/stderr")"
  echo "*.mbx *.eml none*.box: $(tr -d '\r' <"$work/stderr")"
  status=0
  wine cmd /c "$(windows_path "$converter_exe") /?" </dev/null >"$work/stdout" 2>"$work/stderr" || status=$?
  [ "$status" -eq 0 ] && grep -q "^Usage: quorvel-convert \[OPTION\]" "$work/stdout" ||
    fail "/?: exit $status: $(head -3 "$work/stdout") $(cat "$work/stderr")"
  echo "/?: $(head -1 "$work/stdout" | tr -d '\r')"
  ;;
dropped)
  mkdir "$work/dropped"
  d=$work/dropped
  printf '\x89PNG\r\n\x1a\n\0\0\0\rIHDR\0\0\0\x01\0\0\0\x01\x08\x02\0\0\0\x90wS\xde\n' >"$d/picture.png"
  printf 'PK\x03\x04\x14\0\0\0\0\0\0\0!\0\n\x1b$)C\n\x0e\x30\x21\x0f\nPK\x05\x06\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\n' >"$d/archive.zip"
  # Random bytes, the same each run and without an SO, which could make them look half
  # written by a stopped conversion.
  python3 -c "import random, sys; r = random.Random(7); sys.stdout.buffer.write(bytes(b for b in r.randbytes(4200) if b != 14)[:4096])" >"$d/random.bin"
  printf 'notes\nmore notes\n' >"$d/notes.txt"
  printf 'From a\r\n\x1b$)C\r\n\x0e\x30\x21\x0f\r\n' >"$d/Inbox"
  mkdir "$work/before"
  cp "$d"/* "$work/before/"
  args=()
  for name in picture.png archive.zip random.bin notes.txt Inbox; do args+=("$(windows_path "$d/$name")"); done
  status=0
  wine "$helper_exe" run-with-temp "$(windows_path "$work/temp")" "$(windows_path "$work/home")" \
    "$(windows_path "$converter_exe")" "${args[@]}" </dev/null >"$work/stdout" 2>"$work/stderr" || status=$?
  [ "$status" -eq 0 ] || fail "exit $status, not 0: $(cat "$work/stderr")"
  for name in picture.png archive.zip random.bin notes.txt; do
    cmp -s "$d/$name" "$work/before/$name" || fail "$name, no mail, was rewritten"
  done
  [ "$(od -An -tx1 "$d/Inbox" | tr -d ' \n')" = "46726f6d20610d0ab0a10d0a" ] || fail "the mail folder beside them was not converted"
  for name in picture.png archive.zip random.bin; do
    grep -qF "quorvel-convert: $(windows_path "$d/$name"): skipped: binary file" "$work/stderr" ||
      fail "$name is not named as a binary file skipped: $(cat "$work/stderr")"
  done
  grep -qF "quorvel-convert: $(windows_path "$d/notes.txt"): skipped: not mail" "$work/stderr" ||
    fail "notes.txt is not named as skipped: $(cat "$work/stderr")"
  echo "dropped: $(tr -d '\r' <"$work/stderr")"
  ;;
names)
  mkdir "$work/names"
  long=$work/names/$(printf 'd%.0s' {1..120})/$(printf 'e%.0s' {1..120})
  mkdir -p "$long"
  for name in mail. "mail " aux.mbox com1.mbox; do
    printf 'From a\r\n\x1b$)C\r\n\x0e\x30\x21\x0f\r\n' >"$work/names/$name"
  done
  cp "$work/names/mail." "$long/Inbox"
  cp "$work/names/mail." "$work/names/mail"
  cp "$work/names/mail." "$work/unconverted"
  [ "${#long}" -gt 260 ] || fail "the long path is only ${#long} characters"
  for name in mail. "mail " aux.mbox com1.mbox "$long/Inbox"; do
    path=$name
    [ "${name:0:1}" = / ] || path=$work/names/$name
    convert "$(windows_path "$path")"
    [ "$status" -eq 0 ] || fail "'$name': exit $status: $(cat "$work/stderr")"
    [ "$(od -An -tx1 "$path" | tr -d ' \n')" = "46726f6d20610d0ab0a10d0a" ] || fail "'$name' was not converted"
  done
  cmp -s "$work/names/mail" "$work/unconverted" || fail "mail was converted in the place of mail. or 'mail '"
  echo "mail., 'mail ', aux.mbox, com1.mbox and a path of ${#long} characters: each converted"
  status=0
  (cd "$work/names" && timeout 60 wine "$converter_exe" CON) </dev/null >/dev/null 2>"$work/stderr" || status=$?
  [ "$status" -eq 1 ] && grep -q "^quorvel-convert: CON: cannot convert: .*device" "$work/stderr" ||
    fail "CON: exit $status: $(cat "$work/stderr")"
  echo "CON: $(tr -d '\r' <"$work/stderr")"
  ;;
*)
  fail "unknown case"
  ;;
esac
echo "PASSED ($case_name)"
