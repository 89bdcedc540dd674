# Shared by the benchmark scripts: installs the command-line tools they need.
# shellcheck shell=bash
# shellcheck source=scripts/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"

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
    install_packages "${missing[@]}"
}
