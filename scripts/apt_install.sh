# apt_install PACKAGE...: installs those of Debian's packages that are not installed yet.
# Installing needs root (as CI runs); without it the missing packages are named and the
# script stops. Sourced by test.sh and test_mpi.sh.
apt_install() {
    local missing=() package
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
    done
    [ "${#missing[@]}" -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "missing Debian packages: ${missing[*]}; install them (as root) and run again" >&2
        exit 1
    fi
    apt-get update -qq
    # Recommends would add documentation and compilers nobody here uses.
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        -o DPkg::Lock::Timeout=600 "${missing[@]}" >/dev/null
}
