# Shared by the benchmark scripts: installs the command-line tools they need.
# shellcheck shell=bash

# Makes sure every COMMAND:PACKAGE pair's command is on the PATH (a command given as an absolute
# path must exist there). The missing packages are installed with apt-get when running as root;
# anyone else is told what to install.
require_tools() {
    local pair command package missing=()
    for pair in "$@"; do
        command="${pair%%:*}"
        package="${pair#*:}"
        if [[ "$command" == /* ]]; then
            [ -x "$command" ] && continue
        else
            command -v "$command" >/dev/null 2>&1 && continue
        fi
        [[ " ${missing[*]} " == *" $package "* ]] || missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "Missing packages: ${missing[*]}; install them (as root: apt-get install ${missing[*]})" >&2
        exit 1
    fi
    echo "Installing ${missing[*]} ..." >&2
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q >&2
    apt-get install -y -q "${missing[@]}" >&2
}
