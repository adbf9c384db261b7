# bash completion for tarko_station: commands, options, and for -H and -x the groups of
# the site host file ($TARKO_HOSTS, else /etc/tarko/hosts) as @group, with @failed.

_tarko_station_groups() {
    local file=${TARKO_HOSTS:-/etc/tarko/hosts}
    [[ -r $file ]] || return 0
    # Lines "group: hosts...": the names before the colon, comments left out.
    sed -n -e 's/#.*//' -e 's/^[[:space:]]*\([A-Za-z0-9._-][A-Za-z0-9._-]*\)[[:space:]]*:.*/\1/p' \
        "$file" | sort -u
}

_tarko_station() {
    local cur prev words cword
    _init_completion -n =: 2>/dev/null || {
        cur=${COMP_WORDS[COMP_CWORD]}
        prev=${COMP_WORDS[COMP_CWORD - 1]}
        words=("${COMP_WORDS[@]}")
        cword=$COMP_CWORD
    }
    local commands="put get sum rm push rmremote deploy undeploy sync hosts rollout"
    local options="-H --hosts -x --exclude -j --jobs -t --timeout --agent -q --quiet
        -v --verbose --json --no-fold --no-progress --force -h --help --version"
    local rollout_options="--canary --steps --plan --check --check-tries --check-interval
        --check-timeout --bake --max-failures --on-failure --redeploy --previous --keep
        --status --resume --rollback"

    case $prev in
    -H | --hosts | -x | --exclude)
        local g
        local -a groups=(@failed)
        for g in $(_tarko_station_groups); do
            groups+=("@$g")
        done
        if [[ $cur == ^* ]]; then
            COMPREPLY=($(compgen -P '^' -f -- "${cur#^}"))
        else
            COMPREPLY=($(compgen -W "${groups[*]}" -- "$cur"))
        fi
        return 0
        ;;
    -j | --jobs | -t | --timeout | --agent)
        return 0
        ;;
    esac

    # The command is the first word that is neither an option nor an option's value.
    local i command=
    for ((i = 1; i < cword; i++)); do
        case ${words[i]} in
        -H | --hosts | -x | --exclude | -j | --jobs | -t | --timeout | --agent) ((i++)) ;;
        -*) ;;
        *)
            command=${words[i]}
            break
            ;;
        esac
    done
    if [[ $cur == -* && $command == rollout ]]; then
        COMPREPLY=($(compgen -W "$options $rollout_options" -- "$cur"))
    elif [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
    elif [[ -z $command ]]; then
        COMPREPLY=($(compgen -W "$commands" -- "$cur"))
    else
        COMPREPLY=($(compgen -f -- "$cur"))
    fi
}
complete -o filenames -F _tarko_station tarko_station
