#!/bin/sh
# Audium stand-in: reloads a deployed application in place (see audium_standin.sh).
. "$(dirname "$0")/audium_standin.sh"
standin_begin updateApp
case $STATE in
running | suspended)
    [ "$MODE" = suspend ] && standin_set suspended
    echo "Application $APP updated."
    ;;
*) echo "$APP is not a valid application name." ;;
esac
standin_end
