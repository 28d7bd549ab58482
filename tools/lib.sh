# Helpers shared by the sanitizer, fuzzing and valgrind scripts; sourced, not
# run. Each script works from the repository root on a machine that has only
# the interpreter, a C++ compiler and network access to the package indexes.

# The CPython 3.8 interpreter: $PYTHON if set, else the newest pyenv 3.8.
find_python() {
    if [ -n "${PYTHON:-}" ]; then
        echo "$PYTHON"
        return
    fi
    local root candidate=""
    root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
    for candidate in "$root"/versions/3.8.*/bin/python3.8; do :; done
    if [ -x "$candidate" ]; then
        echo "$candidate"
    else
        echo python3.8
    fi
}

# ensure_venv DIR: a virtual environment made with find_python's interpreter.
ensure_venv() {
    local venv=$1 python
    if [ ! -x "$venv/bin/python" ]; then
        python=$(find_python)
        echo "== creating $venv with $python"
        "$python" -m venv "$venv"
        "$venv/bin/python" -m pip install --quiet --upgrade pip
    fi
}

# apt_install PACKAGE...: Debian packages that are not installed yet.
apt_install() {
    local missing=() package
    for package in "$@"; do
        dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return
    echo "== installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get install -y -q "${missing[@]}" >/dev/null 2>&1 ||
        { apt-get update -q >/dev/null && apt-get install -y -q "${missing[@]}" >/dev/null; }
}

# quiet_pip VENV ARGS...: pip install without the noise of index warnings;
# its output is shown only when it fails.
quiet_pip() {
    local venv=$1 log
    shift
    log=$(mktemp)
    if ! "$venv/bin/python" -m pip install --quiet --disable-pip-version-check "$@" >"$log" 2>&1; then
        cat "$log"
        rm -f "$log"
        return 1
    fi
    rm -f "$log"
}

# quiet COMMAND...: runs COMMAND, showing its output only when it fails.
quiet() {
    local log status=0
    log=$(mktemp)
    "$@" >"$log" 2>&1 || status=$?
    [ "$status" = 0 ] || cat "$log"
    rm -f "$log"
    return "$status"
}
