# Shared part of the Audium stand-in: admin scripts that behave like the server's
# own closely enough to drive the agent's deployments in tests and demonstrations.
#
# Every admin script sources this file from its own directory, which is the
# application's admin directory "$AUDIUM_HOME/applications/<appl>/admin" (or the
# master "$AUDIUM_HOME/admin/appScripts"); the application's name is the name of the
# directory above it.
#
# State, in "$AUDIUM_HOME/standin/" (AUDIUM_HOME defaults to three levels above the
# script's directory):
#   <appl>.state  "running" or "suspended"; no file: the server lacks the application
#   calls         one line per run, "<script> <appl>", and "<script> <appl> answer=<a>"
#                 for every answer to a question
#   <appl>.mode, then mode
#                 switches, one per line: "<script> <behaviour> [argument]", where
#                 <script> is status, updateApp, deployApp, resumeApp, releaseApp or *;
#                 the first line that names the script (or *) in the per-application
#                 file, else in the common file, applies. Behaviours:
#     normal      answer from the state (the default)
#     refuse      print a refusal that carries none of the server's phrases; nothing
#                 changes
#     suspend     deployApp, updateApp, resumeApp: leave the application suspended
#     ask         ask "... (y/n)?" first and go on only when the answer is "y"
#     deaf        close standard input, ask, then answer normally
#     flood [n]   print n (default 100000) question marks without reading, then
#                 answer normally
#     silent      print nothing
#     say <text>  print the text and a newline, nothing else; "\n" in the text
#                 starts a new line
#     hang [s]    print nothing and keep the output open for s seconds (default 100)
#     linger [s]  answer normally, then keep the output open for s seconds (default 20)
#   refuse        versions the server will not load, one per line ("2", as the
#                 application's data/app.properties says "version=2"): deployApp,
#                 updateApp and resumeApp refuse while the live copy is one of them
# query.sh answers the site's health-check queries (see there).
# Plain POSIX sh: the scripts run under /bin/sh.

standin_begin() {
    SCRIPT=$1
    ADMIN_DIR=$(cd "$(dirname "$0")" && pwd)
    APP_DIR=$(dirname "$ADMIN_DIR")
    APP=$(basename "$APP_DIR")
    AHOME=${AUDIUM_HOME:-$(dirname "$(dirname "$APP_DIR")")}
    STATE_DIR=$AHOME/standin
    mkdir -p "$STATE_DIR"
    STATE_FILE=$STATE_DIR/$APP.state
    STATE=
    [ -f "$STATE_FILE" ] && STATE=$(cat "$STATE_FILE")
    echo "$SCRIPT $APP" >>"$STATE_DIR/calls"
    standin_mode
    standin_refused_version && MODE=refuse
    case $MODE in
    silent) exit 0 ;;
    say)
        printf '%b\n' "$MODE_ARG"
        exit 0
        ;;
    hang)
        sleep "${MODE_ARG:-100}"
        exit 0
        ;;
    refuse)
        echo "Request $SCRIPT for application $APP refused by the server."
        exit 1
        ;;
    ask) standin_ask || exit 1 ;;
    deaf)
        exec 0<&-
        standin_ask
        ;;
    flood)
        i=0
        n=${MODE_ARG:-100000}
        while [ "$i" -lt "$n" ]; do
            printf '????????????????????????????????????????????????????????????????'
            i=$((i + 64))
        done
        echo
        ;;
    esac
}

# Finds the switch for this script: sets MODE and MODE_ARG.
standin_mode() {
    MODE=normal
    MODE_ARG=
    for f in "$STATE_DIR/$APP.mode" "$STATE_DIR/mode"; do
        [ -f "$f" ] || continue
        while read -r s m a || [ -n "$s" ]; do
            case $s in
            "$SCRIPT" | "*")
                MODE=${m:-normal}
                MODE_ARG=$a
                return 0
                ;;
            esac
        done <"$f"
    done
}

# The version of the live copy of application $1, from its data/app.properties.
standin_version() {
    sed -n 's/^version=//p' "$AHOME/applications/$1/data/app.properties" 2>/dev/null | head -n 1
}

# True when this script loads the application and its live version is to be refused.
standin_refused_version() {
    case $SCRIPT in deployApp | updateApp | resumeApp) ;; *) return 1 ;; esac
    [ -f "$STATE_DIR/refuse" ] || return 1
    v=$(standin_version "$APP")
    [ -n "$v" ] && grep -qx -- "$v" "$STATE_DIR/refuse"
}

# Asks for confirmation; true when the answer is "y".
standin_ask() {
    printf 'Do you really want to run %s for application %s (y/n)? ' "$SCRIPT" "$APP"
    answer=
    read -r answer 2>/dev/null
    answer=$(printf '%s' "$answer" | tr -d '\r')
    echo "$SCRIPT $APP answer=$answer" >>"$STATE_DIR/calls"
    if [ "$answer" != y ]; then
        echo "Request $SCRIPT for application $APP cancelled"
        return 1
    fi
    return 0
}

standin_set() {
    echo "$1" >"$STATE_FILE"
    # shellcheck disable=SC2034 # read by the scripts
    STATE=$1
}

# The state an action leaves behind: running, or suspended under the suspend switch.
standin_result_state() {
    if [ "$MODE" = suspend ]; then echo suspended; else echo running; fi
}

standin_end() {
    if [ "$MODE" = linger ]; then
        sleep "${MODE_ARG:-20}"
    fi
    exit 0
}
