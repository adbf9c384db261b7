#!/bin/sh
# Audium stand-in: answers one query of the site's query port (audium_queryd), given
# its three texts; prints the answer on one line.
#   version APP   "APP vN" when APP runs with version N (data/app.properties of its
#                 live copy), "APP suspended", or "APP none" when the server lacks it
AHOME=${AUDIUM_HOME:-$(dirname "$(dirname "$(cd "$(dirname "$0")" && pwd)")")}
case $1 in
version)
    state=
    [ -f "$AHOME/standin/$2.state" ] && state=$(cat "$AHOME/standin/$2.state")
    v=$(sed -n 's/^version=//p' "$AHOME/applications/$2/data/app.properties" 2>/dev/null | head -n 1)
    case $state in
    running) echo "$2 v${v:-unknown}" ;;
    suspended) echo "$2 suspended" ;;
    *) echo "$2 none" ;;
    esac
    ;;
*) echo "unknown query $1" ;;
esac
