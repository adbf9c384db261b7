#!/bin/sh
# Audium stand-in: takes a suspended application back into service (see
# audium_standin.sh).
. "$(dirname "$0")/audium_standin.sh"
standin_begin resumeApp
case $STATE in
suspended)
    standin_set "$(standin_result_state)"
    if [ "$STATE" = running ]; then
        echo "Application $APP resumed."
    else
        echo "Application $APP is in suspended state."
    fi
    ;;
running) echo "Application $APP is running." ;;
*) echo "$APP is not a valid application name." ;;
esac
standin_end
