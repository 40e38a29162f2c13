#!/usr/bin/env bash
# The desktop window under Xvfb: the window comes up, the page loads and runs, and bridge
# calls go from the page to the native side and their answers come back to the page (the
# page asks for the runtime state only after get_initial_state has answered). SIGTERM then
# quits in order with exit code 0. A script given in MORVANE_PAGE_SCRIPT runs in the page and
# its console lines come out; one that cannot be read is named and left out. A screenshot of the window goes to $MORVANE_SHOTS.
#   desktop_xvfb.sh MORVANE_BIN
set -uo pipefail
bin=$1
shots=${MORVANE_SHOTS:-/tmp/morvane-screenshots}
if ! command -v xvfb-run >/dev/null; then
  echo "SKIP: xvfb-run not found (apt package xvfb)"
  exit 77
fi
work=$(mktemp -d /tmp/morvane-xvfb-XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$shots"
cat > "$work/inner.sh" <<'INNER'
#!/usr/bin/env bash
# Runs inside the X server: start, wait for the page's calls, screenshot, quit.
bin=$1 work=$2 shots=$3
# A script handed to the window runs in the page, and its console reaches standard error.
cat > "$work/page-script.js" <<'JS'
window.webkit.messageHandlers.morvane.postMessage({ op: 'get_initial_state', args: [] })
  .then((s) => console.log('page-script: sessions ' + Array.isArray(s.sessions)));
JS
MORVANE_PAGE_SCRIPT="$work/page-script.js" MORVANE_TRACE=1 NO_AT_BRIDGE=1 "$bin" --desktop --data-dir "$work/data" >"$work/out.log" 2>"$work/err.log" &
pid=$!
for _ in $(seq 1 300); do
  grep -q "call get_runtime_state ok" "$work/err.log" && grep -q "call evaluate_probe" "$work/err.log" &&
    grep -q "CONSOLE LOG page-script" "$work/err.log" && break
  kill -0 $pid 2>/dev/null || break
  sleep 0.1
done
sleep 0.5
if command -v import >/dev/null; then import -window root "$shots/desktop-window.png" 2>/dev/null; fi
kill -TERM $pid
for _ in $(seq 1 200); do kill -0 $pid 2>/dev/null || break; sleep 0.05; done
if kill -0 $pid 2>/dev/null; then kill -KILL $pid; echo "did not quit on SIGTERM" >>"$work/err.log"; exit 1; fi
wait $pid
rc=$?
# Closing the window: without a tray host it quits; with one (here a stand-in that owns the
# XEmbed tray selection) it only hides, and the program keeps running.
helper=$4
MORVANE_PAGE_SCRIPT="$work/missing.js" MORVANE_TRACE=1 NO_AT_BRIDGE=1 "$bin" --desktop --data-dir "$work/d1" >/dev/null 2>"$work/close1.log" &
p1=$!
for _ in $(seq 1 300); do grep -q "page loaded" "$work/close1.log" && break; sleep 0.1; done
python3 "$helper" close Morvane >/dev/null
for _ in $(seq 1 100); do kill -0 $p1 2>/dev/null || break; sleep 0.1; done
if kill -0 $p1 2>/dev/null; then kill -KILL $p1; echo "close-no-tray: still running" >>"$work/closing.log"
else wait $p1; echo "close-no-tray: quit $?" >>"$work/closing.log"; fi
python3 "$helper" tray 60 >/dev/null &
tray=$!
sleep 0.5
MORVANE_TRACE=1 NO_AT_BRIDGE=1 "$bin" --desktop --data-dir "$work/d2" >/dev/null 2>"$work/close2.log" &
p2=$!
for _ in $(seq 1 300); do grep -q "page loaded" "$work/close2.log" && break; sleep 0.1; done
echo "close-tray: before $(python3 "$helper" mapped Morvane)" >>"$work/closing.log"
python3 "$helper" close Morvane >/dev/null
sleep 1
echo "close-tray: after $(python3 "$helper" mapped Morvane)" >>"$work/closing.log"
if kill -0 $p2 2>/dev/null; then echo "close-tray: running" >>"$work/closing.log"; fi
kill -TERM $p2
wait $p2
echo "close-tray: quit $?" >>"$work/closing.log"
kill $tray 2>/dev/null
# At rest with a tab open the page asks for the tabs' state less and less often (1, 2, ... 5 s
# apart), whatever order the window hands an answer's keys over in.
cat > "$work/rest-script.js" <<'JS'
const m = window.webkit.messageHandlers.morvane;
m.postMessage({ op: 'save_session', args: [{ name: 'rest', protocol: 'conpty' }] })
  .then((r) => m.postMessage({ op: 'connect_session', args: [r.id] }))
  .then(() => console.log('page-script: tab open'));
JS
MORVANE_PAGE_SCRIPT="$work/rest-script.js" MORVANE_TRACE=1 NO_AT_BRIDGE=1 "$bin" --desktop --data-dir "$work/d3" >/dev/null 2>"$work/rest.log" &
p3=$!
for _ in $(seq 1 300); do grep -q "page-script: tab open" "$work/rest.log" && break; sleep 0.1; done
sleep 2
before=$(grep -c "call get_runtime_state ok" "$work/rest.log")
sleep 12
after=$(grep -c "call get_runtime_state ok" "$work/rest.log")
echo "rest: $((after - before)) state questions in 12 s" >>"$work/closing.log"
# The window's own process runs WebKit's UI side on the C library's allocator (started again
# with Malloc=1, under its own name); the page's process and the tab's shell start without it.
echo "heap: window $(tr '\0' '\n' </proc/$p3/environ | grep -c '^Malloc=1$') $(cat /proc/$p3/comm)" >>"$work/closing.log"
for c in $(pgrep -P $p3); do
  echo "heap-child: $(cat /proc/$c/comm) $(tr '\0' '\n' </proc/$c/environ | grep -c -E '^(Malloc|MORVANE_WINDOW_HEAP)=')" >>"$work/closing.log"
done
kill -TERM $p3
wait $p3
exit $rc
INNER
xvfb-run -a -s "-screen 0 1280x800x24" bash "$work/inner.sh" "$bin" "$work" "$shots" "$(dirname "$0")/x11_helper.py"
rc=$?
cat "$work/closing.log" 2>/dev/null
cat "$work/err.log"
fail=0
check() {  # description, pattern
  if grep -q "$2" "$work/err.log"; then echo "ok - $1"; else echo "not ok - $1"; fail=1; fi
}
check "the window comes up at the settings' size" "window shown 1280x720"
check "the page asks for its initial state and gets it" "call get_initial_state ok"
check "the answer reached the page, which asked for more" "call get_runtime_state ok"
check "the page finished loading" "page loaded"
check "a script evaluated from another thread reached the page" "call evaluate_probe failed: unknown operation"
check "without a tray host, closing the window quits" "no tray host"
check "a page script runs in the page, calls the bridge and its console line arrives" "CONSOLE LOG page-script: sessions true"
if [ $rc -eq 0 ]; then echo "ok - SIGTERM quits with exit code 0"; else echo "not ok - exit code $rc"; fail=1; fi
closing() {  # description, pattern
  if grep -q "$2" "$work/closing.log" 2>/dev/null; then echo "ok - $1"; else echo "not ok - $1"; fail=1; fi
}
closing "closing the window without a tray host quits in order" "close-no-tray: quit 0"
if grep -q "MORVANE_PAGE_SCRIPT: cannot read .*missing.js" "$work/close1.log" && grep -q "page loaded" "$work/close1.log"; then
  echo "ok - a page script that cannot be read is named, and the window opens without it"
else echo "not ok - an unreadable page script"; fail=1; fi
closing "with a tray host the window is shown first" "close-tray: before viewable"
closing "with a tray host closing only hides the window" "close-tray: after hidden"
closing "and the program keeps running" "close-tray: running"
closing "until it is told to quit" "close-tray: quit 0"
asked=$(sed -n 's/^rest: \([0-9]*\) state questions.*/\1/p' "$work/closing.log" 2>/dev/null)
if [ -n "$asked" ] && [ "$asked" -le 6 ]; then echo "ok - at rest the page asks for the tabs' state every few seconds ($asked times in 12 s)"
else echo "not ok - at rest the page asked for the tabs' state ${asked:-an unknown number of} times in 12 s"; fail=1; fi
closing "the window's process runs on the C library's allocator, under its own name" "heap: window 1 morvane"
closing "the page's process starts without the allocator setting" "heap-child: WebKitWebProces 0"
kids=$(grep -c "^heap-child: " "$work/closing.log")
clean=$(grep -c "^heap-child: .* 0$" "$work/closing.log")
if [ "$kids" -ge 3 ] && [ "$kids" -eq "$clean" ]; then echo "ok - no child (the tab's shell included) inherits it ($kids children)"
else echo "not ok - $clean of $kids children started without the allocator setting"; fail=1; fi
if [ $fail -eq 0 ]; then echo "18 passed, 0 failed"; else echo "some checks failed"; fi
exit $fail
