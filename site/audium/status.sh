#!/bin/sh
# Audium stand-in: reports the state of the application (see audium_standin.sh).
. "$(dirname "$0")/audium_standin.sh"
standin_begin status
case $STATE in
running) echo "Application $APP is running." ;;
suspended) echo "Application $APP is in suspended state." ;;
*) echo "$APP is not a valid application name." ;;
esac
standin_end
