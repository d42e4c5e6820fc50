#!/bin/sh
# Runs one endpoint program as lighttpd's FastCGI application (deploy/lighttpd-fastcgi.conf),
# and starts it again each time it ends: after REGISTRY_FASTCGI_MAX_REQUESTS requests, or when
# it failed or was killed. Usage (lighttpd's bin-path): fastcgi-run.sh PROGRAM
#
# lighttpd hands the listening socket over as standard input. Were the program itself the
# process lighttpd started, the socket would close with it: connections already queued on it
# would be reset (lighttpd answers 500) and new ones refused until lighttpd's once-a-second
# check starts another process (503 meanwhile). This script keeps the socket open in between,
# so requests wait in its queue for the next program instead.
program=${1:?usage: fastcgi-run.sh PROGRAM}
[ -x "$program" ] || { echo "fastcgi-run.sh: cannot run '$program'" >&2; exit 127; }
# The socket stays on descriptor 3 here: a program started in the background would otherwise
# get /dev/null as standard input.
exec 3<&0 0</dev/null
child=
# lighttpd stops its FastCGI processes with SIGTERM: the program goes with this script.
trap '[ -z "$child" ] || kill -TERM "$child" 2>/dev/null; exit 0' TERM INT HUP
parent=$PPID
quick_failures=0
while kill -0 "$parent" 2>/dev/null; do
  started=$(date +%s)
  "$program" 0<&3 3<&- &
  child=$!
  status=0
  wait "$child" || status=$?
  child=
  [ "$status" -ne 0 ] || { quick_failures=0; continue; }
  # A program that fails as soon as it starts would leave requests waiting for good: after a
  # few such failures this script ends too, and lighttpd answers 503 until a start succeeds.
  if [ "$(date +%s)" -le $((started + 1)) ]; then
    quick_failures=$((quick_failures + 1))
    [ "$quick_failures" -lt 5 ] || { echo "fastcgi-run.sh: '$program' keeps failing (status $status)" >&2; exit "$status"; }
  else
    quick_failures=0
  fi
  sleep 0.2
done
