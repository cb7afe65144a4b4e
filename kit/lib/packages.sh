# shellcheck shell=bash
# Debian packages that the kit's tools and the project's scripts install when
# they are missing (sourced, not run).

# packages_missing PACKAGE...: those dpkg has not installed, one a line.
packages_missing() {
    local package
    for package in "$@"; do
        [ "$(dpkg-query -W -f='${Status}' "$package" 2> /dev/null)" = "install ok installed" ] ||
            echo "$package"
    done
}

# packages_install PACKAGE...: installs them with apt-get, through sudo
# unless run as root; fails where there is no apt-get.
packages_install() {
    [ $# -gt 0 ] || return 0
    command -v apt-get > /dev/null || { echo "missing: $*: install them" >&2; return 1; }
    local sudo_cmd=()
    [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
    echo "Installing: $*" >&2
    "${sudo_cmd[@]}" apt-get -o DPkg::Lock::Timeout=600 update -qq &&
        DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get -o DPkg::Lock::Timeout=600 \
            install -y -qq --no-install-recommends "$@"
}
