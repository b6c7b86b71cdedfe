# Sourced by the tools: installs missing Debian packages when run as root.
#   need_packages PACKAGE... (each given as "command-or-file:package")
need_packages() {
    missing=""
    for item in "$@"; do
        probe=${item%%:*}
        pkg=${item#*:}
        case $probe in
            /*) [ -e "$probe" ] || missing="$missing $pkg" ;;
            *) command -v "$probe" >/dev/null 2>&1 || missing="$missing $pkg" ;;
        esac
    done
    [ -z "$missing" ] && return 0
    if [ "$(id -u)" = 0 ]; then
        echo "installing:$missing"
        apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing >/dev/null
    else
        echo "missing:$missing (run as root to install them)" >&2
        return 1
    fi
}
