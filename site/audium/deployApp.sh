#!/bin/sh
# Audium stand-in: loads an application new to the server (see audium_standin.sh).
. "$(dirname "$0")/audium_standin.sh"
standin_begin deployApp
case $STATE in
running | suspended) echo "Application $APP is already deployed, nothing done" ;;
*)
    echo "Deploying application $APP"
    standin_set "$(standin_result_state)"
    if [ "$STATE" = running ]; then
        echo "Application $APP is running."
    else
        echo "Application $APP is in suspended state."
    fi
    ;;
esac
standin_end
