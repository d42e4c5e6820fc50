#!/bin/sh
# lighttpd's own refusals (a request it cannot parse, 411, 413, a program that failed or does
# not exist yet) in the registry's JSON error envelope. lighttpd runs this as its error handler
# with the refused status in REDIRECT_STATUS; reached any other way it is a 404.
status=${REDIRECT_STATUS:-}
case "$status" in
  [45][0-9][0-9]) ;;
  *) status=404 ;;
esac
case "$status" in
  401) code=UNAUTHORIZED message="authentication required" ;;
  403) code=DENIED message="access to this resource is denied" ;;
  404) code=UNSUPPORTED message="no endpoint for this path" ;;
  405) code=UNSUPPORTED message="method not allowed" ;;
  411) code=SIZE_INVALID message="the request body needs a length" ;;
  413) code=SIZE_INVALID message="the request body is too large" ;;
  429) code=TOOMANYREQUESTS message="too many requests" ;;
  4*) code=UNSUPPORTED message="the web server refused the request" ;;
  *) code=UNKNOWN message="the web server could not answer the request" ;;
esac
# A 503 (a FastCGI program starting again) or 429 passes: the client is told when to come back.
retry=
case "$status" in
  429|503) retry='Retry-After: 5\r\n' ;;
esac
printf "Status: %s\r\nDocker-Distribution-API-Version: registry/2.0\r\nContent-Type: application/json; charset=utf-8\r\n$retry\r\n" "$status"
[ "$REQUEST_METHOD" = "HEAD" ] || printf '{"errors":[{"code":"%s","message":"%s (%s)"}]}\n' "$code" "$message" "$status"
