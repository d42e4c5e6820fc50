#!/bin/sh
# CGI answer for any path no endpoint serves: 404 in the registry's JSON error envelope.
printf 'Status: 404\r\nDocker-Distribution-API-Version: registry/2.0\r\nContent-Type: application/json; charset=utf-8\r\n\r\n'
[ "$REQUEST_METHOD" = "HEAD" ] || printf '{"errors":[{"code":"UNSUPPORTED","message":"no endpoint for this path"}]}\n'
