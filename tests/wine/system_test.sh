#!/usr/bin/env bash
# Wayloom as a Windows user installs and runs it, under Wine, in about a
# minute: https through Schannel, the console program, the installer and the
# service. The report servers are wayloom-receiver with the certificates of
# tests/tls_certificates.sh on 127.0.0.1 of a private network namespace; the
# simulated receiver is a pseudo-terminal that Wine shows as COM5.
#
#   1. https, one exchange each (report_once.exe, the program's own exchange
#      code): verified with the ca-file, by name and by IP address, the
#      request arriving whole inside TLS; the system's store (Wine's is the
#      host's bundle, given the test authority in a private mount); a
#      certificate of another authority, one for another name, and the
#      system's store without the authority: "Can't open host!" and nothing
#      received.
#   2. The installer refuses settings the program would refuse, and takes a
#      URL bare or quoted. A silent install with the settings on the command line: the files,
#      settings.ini closed to everyone else, the Start menu entry, the
#      uninstall entry. Then a queue line, and the installed program
#      registers the service, which runs.
#   3. Meanwhile the console program: a cmd script sees its exit status 1
#      when the port cannot be opened; Ctrl-C ends it with 0.
#   4. The service's first report finds no server and is kept; with the
#      server up, the next one goes over verified https and the kept one
#      follows: the exact requests of the lines in wayloom.log, each with
#      its time. net stop stops the service (sc query), the log keeps the
#      lines.
#   5. The uninstaller leaves nothing: no folder, Start menu entry, uninstall
#      entry or service.
#
# Environment: WAYLOOM_BINARY_DIR (the Windows build), WAYLOOM_LINUX_BINARY_DIR
# (a Linux build with wayloom-gpssim and wayloom-receiver), WINEPREFIX (a
# prefix made by wineboot; a temporary one is made when it is not set).
set -euo pipefail

if [[ -z "${WAYLOOM_WINE_NETNS:-}" ]]; then
    export WAYLOOM_WINE_NETNS=1
    if [[ $(id -u) -eq 0 ]]; then
        exec unshare --net --mount bash "$0" "$@"
    else
        exec unshare --map-root-user --net --mount bash "$0" "$@"
    fi
fi
ip link set lo up

windows=${WAYLOOM_BINARY_DIR:?WAYLOOM_BINARY_DIR must name the Windows build}
linux=${WAYLOOM_LINUX_BINARY_DIR:?WAYLOOM_LINUX_BINARY_DIR must name a Linux build}
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d /tmp/wayloom-wine-system.XXXXXX)
export WINEDEBUG=-all
export LC_ALL=C.UTF-8
if [[ -z "${WINEPREFIX:-}" ]]; then
    export WINEPREFIX=$work/prefix
    WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i >/dev/null 2>&1
fi
background_pids=()
program_files="$WINEPREFIX/drive_c/Program Files/Wayloom"
cleanup() {
    umount /etc/ssl/certs/ca-certificates.crt 2>/dev/null || true
    # A run that failed half-way leaves the prefix as it found it for the tests after it.
    if [[ -e "$program_files/uninstall.exe" ]]; then
        wine 'C:\Program Files\Wayloom\uninstall.exe' /S >/dev/null 2>&1 || true
        sleep 3
    fi
    wineserver -k 2>/dev/null || true
    for pid in "${background_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

start_menu_entry="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Wayloom.lnk"
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Wayloom'

fail() {
    echo "FAIL: $*" >&2
    for log in "$work"/*.err "$work"/*.log "$program_files/wayloom.log"; do
        [[ -s "$log" ]] && { echo "--- $log:" >&2; tail -n 20 "$log" >&2; }
    done
    exit 1
}
pass() { echo "ok: $*"; }

wait_for_file() {
    local file=$1 pattern=$2 seconds=${3:-10}
    local deadline=$((SECONDS + seconds))
    while ((SECONDS <= deadline)); do
        grep -qE -- "$pattern" "$file" 2>/dev/null && return 0
        sleep 0.2
    done
    fail "no '$pattern' in $file after ${seconds}s"
}
windows_path() { printf 'Z:%s' "${1//\//\\}"; }

# ---- The parts: certificates, report servers, the receiver as COM5.
bash "$source_dir/tests/tls_certificates.sh" "$work/certs" >/dev/null
ca_file=$(windows_path "$work/certs/ca.pem")
# Port, certificate: a server per certificate; the service's own comes later.
servers=(8443:server 8444:stranger 8445:othername)
for entry in "${servers[@]}"; do
    port=${entry%%:*} certificate=${entry#*:}
    "$linux/wayloom-receiver" --listen 127.0.0.1 --port "$port" --log "$work/receiver-$port.log" \
        --tls-cert "$work/certs/$certificate.pem" --tls-key "$work/certs/$certificate.key" 2>"$work/receiver-$port.err" &
    background_pids+=($!)
done
"$linux/wayloom-gpssim" --link "$work/gps0" --tcp 10110 >"$work/gps.out" 2>"$work/gps.err" &
background_pids+=($!)
for entry in "${servers[@]}"; do wait_for_file "$work/receiver-${entry%%:*}.err" 'listening on' 5; done
wait_for_file "$work/gps.out" '^/dev/' 5

# Wine's system store is the host's bundle, read while its server runs: with
# the test authority added in this namespace's own mount before any Wine
# program starts, it is trusted until the server is started again.
cat /etc/ssl/certs/ca-certificates.crt "$work/certs/ca.pem" >"$work/bundle.pem"
mount --bind "$work/bundle.pem" /etc/ssl/certs/ca-certificates.crt

# A wineserver of this namespace (Wine's sockets are made by the server), with
# COM5 mapped; the mapping takes effect at the server's next start.
wineserver -k 2>/dev/null || true
wineserver -w 2>/dev/null || true
wine reg add 'HKLM\Software\Wine\Ports' /v COM5 /d "$work/gps0" /f >/dev/null 2>&1

# ---- 1. https. Runs the exchange with settings naming server and ca-file;
# prints the status log's last line.
exchange() {
    local server=$1 ca=$2
    printf 'COM9:\n4800\ntlsuser\ntlspass\n30\nserver = %s\n' "$server" >"$work/exchange.ini"
    [[ -z "$ca" ]] || printf 'ca-file = %s\n' "$ca" >>"$work/exchange.ini"
    # Its exit status says the same as the line; the diagnostics go to exchange.err.
    { wine "$windows/tests/report_once.exe" "$(windows_path "$work/exchange.ini")" 2>"$work/exchange.err" ||
        true; } | tr -d '\r' | tail -n 1
}
expected_request() {  # URL login password lat lon speed
    local body="v=1.1&l=$2&p=$3&lat=$4&lon=$5&s=$6"
    printf 'POST %s/wayloom/Receiver.php HTTP/1.0\nAccept: text/html\n' "$1"
    printf 'Content-Type: application/x-www-form-urlencoded\nContent-Length: %d\n\n%s' "${#body}" "$body"
}

outcome=$(exchange https://localhost:8443 "")
umount /etc/ssl/certs/ca-certificates.crt
[[ "$outcome" == "Sent successfully." ]] || fail "the system's store with the test authority: $outcome"
pass "https verified by the system's store"
wineserver -k 2>/dev/null || true
wineserver -w 2>/dev/null || true
# Kept running: Wine ends its services when the last other program ends.
wineserver -p

# Server, ca-file, the receiver's port, the outcome, the start of the
# diagnostic line; a report arrives exactly when the outcome is "Sent
# successfully.".
handshake_failed='wayloom: TLS handshake failed with report host'
cases=(
    "https://localhost:8443|$ca_file|8443|Sent successfully.|"
    "https://127.0.0.1:8443|$ca_file|8443|Sent successfully.|"
    "https://localhost:8444|$ca_file|8444|Can't open host!|$handshake_failed localhost: the certificate's authority is not trusted"
    "https://localhost:8445|$ca_file|8445|Can't open host!|$handshake_failed localhost: the certificate names another host"
    "https://localhost:8443||8443|Can't open host!|$handshake_failed localhost: the certificate's authority is not trusted"
    "https://localhost:8443|${ca_file}.absent|8443|Can't open host!|wayloom: cannot load the trusted authorities "
)
run_https_cases() {
    for entry in "${cases[@]}"; do
        IFS='|' read -r server ca port want diagnostic <<<"$entry"
        local before after
        before=$(grep -c . "$work/receiver-$port.log" 2>/dev/null || true)
        outcome=$(exchange "$server" "$ca")
        after=$(grep -c . "$work/receiver-$port.log" 2>/dev/null || true)
        [[ "$outcome" == "$want" ]] || fail "$server with ca-file '$ca': '$outcome', not '$want'"
        if [[ -n "$diagnostic" ]]; then
            grep -qF -- "$diagnostic" "$work/exchange.err" || fail "$server: diagnostics: $(cat "$work/exchange.err")"
        else
            ! grep -q '^wayloom: ' "$work/exchange.err" || fail "$server: diagnostics: $(cat "$work/exchange.err")"
        fi
        if [[ "$want" == "Sent successfully." ]]; then
            [[ $after == $((before + 1)) ]] || fail "$server: $((after - before)) reports arrived"
            [[ "$(tail -n 1 "$work/receiver-$port.log" | jq -j .raw)" == \
                "$(expected_request "$server" tlsuser tlspass 55.5 37.25 1.5)" ]] ||
                fail "$server: the request differs: $(tail -n 1 "$work/receiver-$port.log")"
        else
            [[ ${after:-0} == "${before:-0}" ]] || fail "$server: the server received a report"
        fi
        pass "$server, ca-file '${ca:-(system store)}': $want"
    done
}

# A server that takes the connection and never answers the handshake: the
# exchange gives up at the handshake's deadline (1 s here), not before.
python3 -c 'import socket, time
s = socket.socket(); s.bind(("127.0.0.1", 8447)); s.listen(); time.sleep(300)' &
background_pids+=($!)
run_handshake_deadline_case() {
    printf 'COM9:\n4800\nu\np\n30\nserver = https://localhost:8447\nca-file = %s\n' "$ca_file" >"$work/stall.ini"
    outcome=$({ wine "$windows/tests/report_once.exe" "$(windows_path "$work/stall.ini")" 1000 2>"$work/stall.err" ||
        true; } | tr -d '\r' | tail -n 1)
    elapsed=$(sed -n 's/^elapsed \([0-9]*\) ms.*/\1/p' "$work/stall.err")
    [[ "$outcome" == "Can't open host!" && ${elapsed:-0} -ge 1000 && ${elapsed:-0} -lt 5000 ]] ||
        fail "a handshake that never ends: '$outcome' after ${elapsed:-?} ms"
    pass "a handshake that never ends: Can't open host! at its deadline (${elapsed} ms)"
}

# ---- 2. The installer checks its settings first: the URL as a Unix shell
# (bare), cmd.exe (double quotes) and PowerShell (single quotes) pass it; a
# value the program would refuse ends a silent install with status 2 and a
# message, and nothing installed.
setup_case() { # FOLDER OPTION...: a silent install into C:\FOLDER
    local folder=$1
    shift
    (cd "$work" && wine "$windows/wayloom-setup-"*.exe /S /LOGIN=u /PASSWORD=p "$@" "/D=C:\\$folder" \
        >"$work/$folder.out" 2>"$work/$folder.err")
}
for form in '/SERVER=https://localhost:8443' '/SERVER="https://localhost:8443"' "/SERVER='https://localhost:8443'"; do
    setup_case form "$form" || fail "setup $form: status $?"
    grep -qx 'server = https://localhost:8443' "$WINEPREFIX/drive_c/form/settings.ini" ||
        fail "setup $form: $(grep server "$WINEPREFIX/drive_c/form/settings.ini" 2>&1) $(cat "$work/form.err")"
    rm -rf "$WINEPREFIX/drive_c/form"
done
for refused in /SERVER=nonsense /SERVER=http://host/path /SERVER=https://host:0 /BAUD=fast /INTERVAL=10 /PORT=; do
    status=0
    setup_case refused "$refused" || status=$?
    [[ $status == 2 && ! -e "$WINEPREFIX/drive_c/refused" ]] && grep -q '^wayloom-setup: ' "$work/refused.err" ||
        fail "setup $refused: status $status, $(cat "$work/refused.err")"
done
pass "the installer takes the URL bare or quoted, and refuses bad settings with status 2, installing nothing"

# A silent install.
(cd "$work" && wine "$windows/wayloom-setup-"*.exe /S /PORT=COM5: /BAUD=4800 /LOGIN=svcuser /PASSWORD=svcpass \
    /INTERVAL=30 /SERVER=https://localhost:8446 "/CAFILE='$ca_file'" /SERVICE=0 >"$work/setup.log" 2>&1) ||
    fail "setup: status $?"
for file in wayloom.exe wayloom-headless.exe settings.ini uninstall.exe; do
    [[ -f "$program_files/$file" ]] || fail "setup: no $file in Program Files"
done
[[ -f "$start_menu_entry" ]] || fail "setup: no Start menu entry"
wine reg query "$uninstall_key" /v UninstallString >/dev/null 2>&1 || fail "setup: no uninstall entry"
expected_settings=$'# Wayloom settings, written by the installer: port, baud rate, login, password, interval\n'
expected_settings+=$'COM5:\n4800\nsvcuser\nsvcpass\n30\nserver = https://localhost:8446\n'
expected_settings+="ca-file = $ca_file"
[[ "$(cat "$program_files/settings.ini")" == "$expected_settings" ]] ||
    fail "settings.ini: $(cat "$program_files/settings.ini")"
# Wine keeps no access list of its own: it maps the list onto the file's Unix
# mode and reads it back from there, so what can be seen is that Everyone
# (WD) and Users (BU) lost their access, which the programs beside it keep.
settings_dacl=$(wine "$windows/tests/show_dacl.exe" 'C:\Program Files\Wayloom\settings.ini' | tr -d '\r')
program_dacl=$(wine "$windows/tests/show_dacl.exe" 'C:\Program Files\Wayloom\wayloom.exe' | tr -d '\r')
[[ "$program_dacl" == *";WD)"* ]] || fail "wayloom.exe is not readable by everyone: $program_dacl"
[[ "$settings_dacl" == D:* && "$settings_dacl" != *";WD)"* && "$settings_dacl" != *";BU)"* ]] ||
    fail "settings.ini is readable by others: $settings_dacl"
! wine sc query Wayloom >/dev/null 2>&1 || fail "setup installed the service unasked"
pass "silent install: programs, settings.ini ($settings_dacl), Start menu and uninstall entries"
printf 'queue = %s\n' "$(windows_path "$work/queue")" >>"$program_files/settings.ini"
wine 'C:\Program Files\Wayloom\wayloom-headless.exe' --install-service >"$work/install-service.log" 2>&1 ||
    fail "--install-service: status $? $(cat "$work/install-service.log")"
wine sc query Wayloom 2>/dev/null | tr -d '\r' | grep -qE 'STATE +: 4 +RUNNING' || fail "the service does not run"
pass "the installed program registers the service, which runs"

# ---- 1 and 3 while the service waits for its first report.
run_https_cases
run_handshake_deadline_case

mkdir -p "$work/console"
cp "$windows/wayloom-headless.exe" "$work/console/"
printf 'COM250:\n4800\n' >"$work/console/settings.ini"
printf '@echo off\r\nwayloom-headless.exe\r\necho exit status %%ERRORLEVEL%%\r\n' >"$work/console/run.cmd"
(cd "$work/console" && wine cmd /c run.cmd >out 2>err) || true
tr -d '\r' <"$work/console/out" | grep -qx 'exit status 1' || fail "cmd script: $(cat "$work/console/out")"
pass "a cmd script gets the console program's exit status 1 (no port)"
printf 'COM250:\n4800\nu\np\n30\nsource = tcp://127.0.0.1:10110\n' >"$work/console/settings.ini"
(cd "$work/console" && exec wine wayloom-headless.exe >out 2>err) &
console_pid=$!
wait_for_file "$work/console/out" '^Trying to get data from GPS' 10
kill -INT "$console_pid" # Wine gives a console program's Ctrl-C handler SIGINT
console_status=0
wait "$console_pid" || console_status=$?
[[ $console_status == 0 ]] || fail "Ctrl-C: exit status $console_status"
pass "Ctrl-C ends the console program with 0"

# ---- 4. The service's first report, 30 s after it started, finds no server.
log="$program_files/wayloom.log"
stamp='^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} '
wait_for_file "$log" "${stamp}(Kept for later|Sent successfully)" 60
grep -qE "${stamp}Kept for later: 1 waiting\.$" "$log" || fail "the first report was not kept"
pass "the service's first report, with no server, is kept"
"$linux/wayloom-receiver" --listen 127.0.0.1 --port 8446 --log "$work/receiver-8446.log" \
    --tls-cert "$work/certs/server.pem" --tls-key "$work/certs/server.key" 2>"$work/receiver-8446.err" &
background_pids+=($!)
wait_for_file "$log" "${stamp}Sent 1 kept reports\.$" 45
mapfile -t summaries < <(grep -E "$stamp"'-?[0-9.]+ -?[0-9.]+ [0-9.]+$' "$log" | cut -d' ' -f3-)
[[ ${#summaries[@]} == 2 && $(grep -c . "$work/receiver-8446.log") == 2 ]] ||
    fail "${#summaries[@]} reports in the log, $(grep -c . "$work/receiver-8446.log") received"
# The live report first, then the kept one; each carries its time after s.
for i in 0 1; do
    read -r lon lat speed <<<"${summaries[1 - i]}"
    raw=$(sed -n "$((i + 1))p" "$work/receiver-8446.log" | jq -j .raw)
    fix_time=$(grep -oE '&t=[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}%3A[0-9]{2}%3A[0-9]{2}Z$' <<<"$raw" | cut -c4-)
    [[ "$raw" == "$(expected_request https://localhost:8446 svcuser svcpass "$lat" "$lon" "$speed&t=$fix_time")" ]] ||
        fail "request $((i + 1)) differs from the log's ${summaries[1 - i]}: $raw"
done
pass "the next report goes over verified https and the kept one follows, each as wayloom.log says"
wine net stop Wayloom >"$work/net-stop.log" 2>&1 || fail "net stop: status $?"
wine sc query Wayloom 2>/dev/null | tr -d '\r' | grep -qE 'STATE +: 1 +STOPPED' || fail "the service did not stop"
grep -qE "${stamp}Trying to get data from GPS\.\.\.$" "$log" || fail "wayloom.log lost its lines"
pass "net stop stops the service; wayloom.log keeps its lines"

# ---- 5. The uninstaller copies itself away and removes everything.
wine 'C:\Program Files\Wayloom\uninstall.exe' /S >/dev/null 2>&1 || fail "uninstall: status $?"
deadline=$((SECONDS + 20))
while [[ -e "$program_files" ]] && ((SECONDS <= deadline)); do sleep 0.3; done
[[ ! -e "$program_files" ]] || fail "uninstall left $(ls -A "$program_files")"
[[ ! -e "$start_menu_entry" ]] || fail "uninstall left the Start menu entry"
! wine reg query "$uninstall_key" >/dev/null 2>&1 || fail "uninstall left the uninstall entry"
! wine sc query Wayloom >/dev/null 2>&1 || fail "uninstall left the service"
pass "the uninstaller leaves nothing"
