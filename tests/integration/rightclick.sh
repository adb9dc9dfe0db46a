#!/usr/bin/env bash
# End to end: a simulated agent installed in the prefix, the module registered
# with regsvr32, right-clicks through ksxhost, and what the agent's programs got.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
build=$(realpath -m "${1:?usage: rightclick.sh BUILD_DIR}")
export WINEPREFIX=$build/wineprefix WINEDEBUG=-all
run() { "$top/scripts/wine-run" "$WINEPREFIX" "$@"; }
agent() { "$top/scripts/agent-install" "$build" "$@" >/dev/null; }
install_unix="$WINEPREFIX/drive_c/Program Files (x86)/Corvane/WardexNT"
host=$build/bin/ksxhost.exe
failures=0
passes=0

check() {  # check NAME CONDITION-COMMAND...
  local name=$1; shift
  if "$@"; then passes=$((passes + 1)); echo "ok   $name"
  else failures=$((failures + 1)); echo "FAIL $name"; fi
}
has() { grep -qF -- "$2" <<<"$1"; }

cleanup() {
  run taskkill /im traymon.exe >/dev/null 2>&1 || true
  run "$install_unix/logserver.exe" --stop >/dev/null 2>&1 || true
  run regsvr32 /s /u "$(winepath -w "$build/bin/KSXSHELL.dll")" || true
  "$top/scripts/agent-install" "$build" uninstall >/dev/null 2>&1 || true
}
trap cleanup EXIT

agent install
run regsvr32 /s "$(winepath -w "$build/bin/KSXSHELL.dll")"
profile="$install_unix/www/1600/UIProfile.cfg"
check "installed UI profile lists English only" test "$(grep -c '<lang>' "$profile")" -eq 1

out=$(run "$host" --json 'C:\windows\win.ini')
check "idle agent: item enabled with its bitmap" has "$out" '"id":1,"separator":false'
check "idle agent: not greyed" has "$out" '"grayed":false,"bitmap":true'
check "item text from the EN-US string table" has "$out" '"text":"Scan for security risks"'
check "module let go after the right-click" has "$out" '"unloaded":true'
merged=$(cat "$profile")
check "registration: UI profile carries the global settings' languages" has "$merged" '<lang>DE-DE</lang>'
check "registration: and their locale mappings" has "$merged" '<locale_mapping LCID="1041" LOCALE_NAME="JA" />'

agent lang DE-DE
out=$(run "$host" --json 'C:\windows\win.ini')
check "manual switching with Lang = DE-DE: German text" has "$out" '"text":"Auf Sicherheitsrisiken pr'
agent lang off
out=$(run "$host" --json 'C:\windows\win.ini')
check "manual switching off: English text again" has "$out" '"text":"Scan for security risks"'

# The log server files every record of a right-click: the same count for
# the same right-click twice, eight fields a line; D and I held back by
# the level word.
log="$install_unix/logserver.log"
rm -f "$log"*
served="$build/logserver.out"
: >"$served"
run "$install_unix/logserver.exe" >"$served" 2>&1 &
# The server says so once its pipe listens and it holds the level word; a
# loaded machine may take long to get there, so wait for that, not a time.
until_true() {  # until_true SECONDS COMMAND...: polls until COMMAND succeeds
  local end=$((SECONDS + $1)); shift
  until "$@"; do [ "$SECONDS" -lt "$end" ] || return 1; sleep 0.1; done
}
check "log server ready" until_true 120 grep -q 'listening on' "$served"
run "$install_unix/loglevel.exe" word 0 >/dev/null || true
records() {  # records [MIN]: right-clicks once, waits until the server has filed what came
  : >"$log"
  run "$host" 'C:\windows\win.ini' >/dev/null
  # Filed once there are MIN (default 1) and the count has held still for a second.
  local min=${1:-1} n=-1 still=0 end=$((SECONDS + 60))
  while [ "$still" -lt 10 ] && [ "$SECONDS" -lt "$end" ]; do
    if [ "$n" = "$(wc -l <"$log")" ] && [ "$n" -ge "$min" ]; then still=$((still + 1)); else still=0; fi
    n=$(wc -l <"$log"); sleep 0.1
  done
  echo "$n"
}
first=$(records); second=$(records)
check "log server filed the right-click's records" test "$first" -gt 0
check "the same right-click files the same records ($first, $second)" test "$first" -eq "$second"
check "every record has its eight fields" test "$(awk -F'\t' 'NF != 8' "$log" | wc -l)" -eq 0
run "$install_unix/loglevel.exe" word 0x00010005 >/dev/null
records 0 >/dev/null
check "level word 0x00010005 holds back D and I" test "$(cut -f5 "$log" | grep -cE '^(68|73)$')" -eq 0
run "$install_unix/logserver.exe" --stop >/dev/null 2>&1 || true

rm -f "$install_unix/traymon.journal"
run "$install_unix/traymon.exe" >/dev/null 2>&1 &
until_true 120 grep -q READY "$install_unix/traymon.journal" 2>/dev/null || true
out=$(run "$host" --json --invoke 'C:\windows\win.ini' 'C:\users')
journal=$(cat "$install_unix/traymon.journal")
check "invoke: S_OK" has "$out" '"invoke":"0x00000000"'
check "tray monitor got both paths" has "$journal" $'PATH C:\\windows\\win.ini\r\nPATH C:\\users'
: >"$install_unix/traymon.journal"
out=$(run "$host" --modern --json --invoke 'C:\windows\win.ini' 'C:\users')
check "command invoke: S_OK" has "$out" '"invoke":"0x00000000"'
check "the command's request is the item's, byte for byte" \
  test "$(cat "$install_unix/traymon.journal")" = "$(grep -v READY <<<"$journal")"
run taskkill /im traymon.exe >/dev/null 2>&1 || true
wait || true

agent set RCS 202
rm -f "$install_unix/sablelauncher.journal"
run "$host" --invoke --dir 'C:\users\Public' 'C:\windows\win.ini' >/dev/null
until_true 60 test -s "$install_unix/sablelauncher.journal" || true
journal=$(cat "$install_unix/sablelauncher.journal" 2>/dev/null || true)
check "launcher started on the working directory" has "$journal" \
  'COMMANDLINE C:\Program Files (x86)\Corvane\WardexNT\sablelauncher.exe -manual_scan_target C:\users\Public'
rm -f "$install_unix/sablelauncher.journal"
run "$host" --modern --invoke 'C:\users\Public\Documents' >/dev/null
for _ in $(seq 1 100); do grep -q TARGET "$install_unix/sablelauncher.journal" 2>/dev/null && break; sleep 0.1; done
check "the command starts the same launcher on its selection's folder" \
  test "$(grep -a COMMANDLINE "$install_unix/sablelauncher.journal")" = "$(grep -a COMMANDLINE <<<"$journal")"
agent set RCS 0

# The file menu's command beside the classic item: the same text and state.
# Its class has no COM registration here (the sparse package declares it on
# Windows 11), so ksxhost takes it from the handler's module.
item() { grep -o '"text":"[^"]*"' <<<"$1" | tail -n 1 | cut -d'"' -f4; }
field() { grep -o "\"$1\":\"[^\"]*\"" <<<"$2" | cut -d'"' -f4; }
same_texts() {  # same_texts WHAT: title and tooltip of the command, as the installed host shows them
  local classic modern
  classic=$(run "$install_unix/ksxhost.exe" --json 'C:\windows\win.ini')
  modern=$(run "$install_unix/ksxhost.exe" --modern --json 'C:\windows\win.ini')
  check "$1: title is the item's text ($(item "$classic"))" \
    test -n "$(item "$classic")" -a "$(field titleText "$modern")" = "$(item "$classic")"
  check "$1: tooltip is the help text ($(field helpText "$classic"))" \
    test -n "$(field helpText "$classic")" -a "$(field toolTipText "$modern")" = "$(field helpText "$classic")"
}
same_texts English
agent lang DE-DE
same_texts "Lang = DE-DE"
agent lang off
locales=$build/locale
mkdir -p "$locales"
[ -f "$locales/de_DE.UTF-8/LC_CTYPE" ] || localedef -i de_DE -f UTF-8 "$locales/de_DE.UTF-8" >/dev/null 2>&1 || true
LC_ALL=de_DE.UTF-8 LOCPATH=$locales same_texts "German locale" 2>/dev/null  # bash cannot use that locale itself
agent set IsScanning 1
check "scan running: command disabled at once" has "$(run "$host" --modern --json 'C:\windows')" \
  '"quickState":"0x00000000","state":"0x00000000","stateName":"disabled"'
agent set IsScanning 0
agent service stop
check "service stopped: command waits for leave to be slow, then disabled" has "$(run "$host" --modern --json 'C:\')" \
  '"quickState":"0x8000000A","state":"0x00000000","stateName":"disabled"'
agent service start
check "idle agent: command enabled" has "$(run "$host" --modern --json 'C:\')" '"stateName":"enabled"'

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
