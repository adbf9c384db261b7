#!/bin/sh
# Audium stand-in: takes an application out of the server (see audium_standin.sh).
. "$(dirname "$0")/audium_standin.sh"
standin_begin releaseApp
case $STATE in
running | suspended)
    rm -f "$STATE_FILE"
    echo "Application $APP released from memory."
    ;;
*) echo "$APP is not a valid application name." ;;
esac
standin_end
