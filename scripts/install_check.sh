#!/usr/bin/env bash
# Installs a build (default build/) into a staging directory with DESTDIR
# and runs the installed programs from there: constcol, momfit --version, a
# bandfit run on the installed example deck, make_demo_data, the Python
# module imported from where Debian's python3 looks under the prefixes /usr
# and /usr/local,
# the manual page check of every installed page, the copyright file and the
# changelog. Then builds the Debian package with cpack, prints how long that
# took, shows its control data, imports the Python module from the
# package's files and runs lintian, which must find no error. The staging
# directory is removed at the end.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
fail() { echo "install_check: $*" >&2; exit 1; }

DESTDIR=$stage cmake --install "$build" --prefix /usr >/dev/null
bin=$stage/usr/bin
examples=$stage/usr/share/doc/labsuite/examples

"$bin/constcol" >"$stage/column.txt"
[[ $(wc -l <"$stage/column.txt") == 850 && $(sort -u "$stage/column.txt") == 1700.000 ]] ||
  fail "constcol did not write 850 lines of 1700.000"

version=$("$bin/momfit" --version </dev/null) || fail "momfit --version ended with status $?"
[[ $version =~ ^momfit\ \(labsuite\)\ [0-9]+\.[0-9]+\.[0-9]+$ ]] ||
  fail "momfit --version printed '$version'"

mkdir "$stage/run"
status=0
(cd "$stage/run" && "$bin/bandfit" <"$examples/example.deck") || status=$?
((status == 0)) || fail "bandfit on the example deck ended with status $status"
grep -q 'FITTING SUBROUTINE COMPLETED' "$stage/run/fort.26" ||
  fail "bandfit wrote no complete report fort.26"
[[ $(wc -l <"$stage/run/fort.8") == 25 ]] || fail "bandfit's fort.8 does not list the 25 lines"
mkdir "$stage/demo"
(cd "$stage/demo" && "$bin/make_demo_data" --seed 3 >/dev/null) ||
  fail "make_demo_data ended with status $?"
[[ $(wc -l <"$stage/demo/demo_lab.dat") == 300 && $(wc -l <"$stage/demo/newintrin_red") == 25 ]] ||
  fail "make_demo_data did not write 300 lab points and a 25-value profile"

# The Python module, where Debian's python3 finds it under each prefix (when
# the build has it).
pycheck() {  # DIR: the folder that must hold the package
  [[ -f $1/labsuite/__init__.py ]] || fail "the Python package is not in $1"
  v=$(cd "$stage" && PYTHONPATH=$1 /usr/bin/python3 -c "import labsuite; print(labsuite.__version__)") ||
    fail "python3 could not import labsuite from $1"
  [[ $v == "${version##* }" ]] || fail "labsuite.__version__ is '$v', momfit says '${version##* }'"
}
if [[ $(sed -n 's/^LABSUITE_PYTHON:BOOL=//p' "$build/CMakeCache.txt") == ON &&
      -d $build/python/labsuite ]]; then
  python=yes
  pycheck "$stage/usr/lib/python3/dist-packages"
  pyver=$(/usr/bin/python3 -c 'import sys; print("python%d.%d" % sys.version_info[:2])')
  DESTDIR=$stage/local cmake --install "$build" --prefix /usr/local >/dev/null
  pycheck "$stage/local/usr/local/lib/$pyver/dist-packages"
fi

# The manual pages are installed compressed; each is checked as it reads.
mkdir "$stage/pages"
pages=()
for gz in "$stage"/usr/share/man/man1/*.1.gz; do
  [[ -f $gz ]] || continue
  page=$stage/pages/$(basename "$gz" .gz)
  gzip -dc "$gz" >"$page" || fail "$gz is not a gzip file"
  pages+=("$page")
done
((${#pages[@]} == 5)) || fail "${#pages[@]} manual pages installed, 5 expected"
bash "$root/scripts/check_man.sh" "${pages[@]}"
doc=$stage/usr/share/doc/labsuite
grep -q '^License: GPL-3+$' "$doc/copyright" || fail "no GPL-3+ licence in $doc/copyright"
gzip -dc "$doc/changelog.Debian.gz" | head -1 | grep -q "^labsuite (${version##* }-" ||
  fail "changelog.Debian.gz does not begin with release ${version##* }"

start=$(date +%s%N)
(cd "$build" && cpack -G DEB -B "$stage/deb" >/dev/null)
ms=$((($(date +%s%N) - start) / 1000000))
printf 'install_check: cpack -G DEB took %d.%03d s\n' $((ms / 1000)) $((ms % 1000))
deb=$(echo "$stage"/deb/labsuite_*.deb)
dpkg-deb -I "$deb" | grep -E '^ (Package|Version|Depends|Maintainer):'
dpkg-deb -f "$deb" Depends | grep -q libcpgplot0 || fail "the package does not depend on libcpgplot0"
dpkg-deb -f "$deb" Maintainer | grep -q '^labsuite ' || fail "the maintainer field does not name labsuite"
# lintian as a distribution would run it: any error fails the check; the
# warnings and notes left are explained in docs/packaging.md.
lintian --fail-on error --display-info --display-experimental --tag-display-limit 0 "$deb" ||
  fail "lintian found errors in the package"
if [[ ${python:-} == yes ]]; then
  dpkg-deb -x "$deb" "$stage/debroot"
  pycheck "$stage/debroot/usr/lib/python3/dist-packages"
  dpkg-deb -f "$deb" Depends | grep -q python3-numpy || fail "the package does not depend on python3-numpy"
fi
echo "install_check: installed programs, example run and manual pages in order"
