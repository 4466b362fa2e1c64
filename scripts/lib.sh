# Shared by scripts/test and scripts/demo: install what is missing, then build.

# need_packages PKG...: apt-get install the Debian packages that are not installed yet.
need_packages() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "== installing ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -q || return 1
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "${missing[@]}" || return 1
}

BASE_PACKAGES=(cmake ninja-build g++ libgtest-dev)
# Cross tools for the Windows builds (the -posix compilers, for std::thread; windres and
# objdump for the test DLLs with version resources and the export tables), Wine to run the
# 64-bit Windows programs, clang for the fuzz targets; dpkg-dev (dpkg-shlibdeps for the
# package's dependencies), lintian, groff and man-db for the package and its man pages.
TEST_PACKAGES=(gcc-mingw-w64 g++-mingw-w64-i686 g++-mingw-w64-x86-64 g++-mingw-w64-i686-posix
               g++-mingw-w64-x86-64-posix binutils-mingw-w64 wine64
               clang libclang-rt-14-dev
               dpkg-dev lintian groff-base man-db)

# build_tree DIR [CMAKE ARGS...]: configure (once) and build the native tree in DIR.
build_tree() {
    local dir="$1"
    shift
    cmake -S "$ROOT" -B "$dir" -G Ninja "$@" >/dev/null || return 1
    cmake --build "$dir" || return 1
}
