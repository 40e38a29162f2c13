#!/bin/sh
# Stand-in for the Claude Code tool. Every run records its argument vector (NUL-separated) and
# its standard input in $FAKE_CLAUDE_DIR/run-N.argv / run-N.stdin, then answers the way the
# file $FAKE_CLAUDE_DIR/mode says:
#   json (default)   one JSON object, a new session_id, the first prompt line echoed back
#   plain            plain text
#   is_error         {"is_error": true, "result": ""}
#   fail             exit 3 with nothing on either stream
#   unknown_session  with --resume: an error about the session on stderr, exit 1; else json
#   hang             starts a child that sleeps, records its pid, and sleeps itself
#   answer_then_hang prints a full answer with a session id, then hangs like hang
#   slow             answers as json after one second
#   propose          answers with an action block proposing a command
d="${FAKE_CLAUDE_DIR:?}"
if [ "$1" = "--version" ]; then
  if [ -f "$d/version_mode" ]; then
    case "$(cat "$d/version_mode")" in
      fail) echo "broken install" >&2; exit 2 ;;
      blank) echo "   "; exit 0 ;;
    esac
  fi
  printf '2.1.7 (Claude Code)\nsecond line\n'
  exit 0
fi
n=$(ls "$d" | grep -c '^run-.*\.argv$')
n=$((n + 1))
printf '%s\0' "$0" "$@" > "$d/run-$n.argv.tmp"
mv "$d/run-$n.argv.tmp" "$d/run-$n.argv"
cat > "$d/run-$n.stdin"
mode=json
[ -f "$d/mode" ] && mode=$(cat "$d/mode")
resume=no
for a in "$@"; do [ "$a" = "--resume" ] && resume=yes; done
first=$(head -n 1 "$d/run-$n.stdin")
answer() {
  printf '{"type": "result", "is_error": false, "session_id": "sess-%s", "result": "answer %s to: %s"}\n' "$n" "$n" "$first"
}
case "$mode" in
  plain) printf '  just some text  \n' ;;
  is_error) printf '{"is_error": true, "result": "", "session_id": ""}\n' ;;
  fail) exit 3 ;;
  unknown_session)
    if [ "$resume" = yes ]; then
      echo "Error: No conversation found with session ID: abc" >&2
      exit 1
    fi
    answer ;;
  hang|answer_then_hang)
    [ "$mode" = answer_then_hang ] && answer
    sleep 300 &
    echo $! > "$d/child.pid"
    wait ;;
  slow) sleep 1; answer ;;
  propose)
    printf '{"is_error": false, "session_id": "sess-%s", "result": "Try this:\\n```action\\nrun echo injected-$((6*7))\\n```"}\n' "$n" ;;
  *) answer ;;
esac
