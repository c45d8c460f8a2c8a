#!/usr/bin/env bash
# Packs the build tree into a .deb, unpacks it into a temporary root and
# checks what a user gets: the program runs from there and finds its data
# files, the desktop entry, metainfo and manual page pass their validators,
# the bash completion completes, and lintian reports no error.
# Usage: package_test.sh BUILD_DIR VERSION
set -euo pipefail
build=$1
version=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/out" >"$work/cpack.log" 2>&1 || {
  cat "$work/cpack.log"
  fail "cpack"
}
deb=$(ls "$work"/out/kestova_*.deb)
[ "$(basename "$deb")" = "kestova_${version}_amd64.deb" ] || fail "package name $(basename "$deb")"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version"
dpkg-deb -f "$deb" Depends | grep -q libqt6widgets6 || fail "no Qt dependency from dpkg-shlibdeps"

root=$work/root
dpkg-deb -x "$deb" "$root"
usr=$root/usr
for file in bin/kestova share/kestova/auto.htm share/kestova/help/kestova_help.htm \
  share/applications/org.kestova.Kestova.desktop share/icons/hicolor/scalable/apps/org.kestova.Kestova.svg \
  share/metainfo/org.kestova.Kestova.metainfo.xml share/man/man1/kestova.1.gz \
  share/bash-completion/completions/kestova share/doc/kestova/copyright share/doc/kestova/changelog.gz; do
  [ -f "$usr/$file" ] || fail "missing $file"
done

# The unpacked program runs and finds its template under share/kestova.
[ "$("$usr/bin/kestova" --version)" = "kestova $version" ] || fail "--version"
export KESTOVA_REGISTRY=$work/registry.db
"$usr/bin/kestova" profile show >"$work/show.txt" || fail "profile show"
grep -qx "HTMLFile=$usr/share/kestova/auto.htm" "$work/show.txt" || {
  grep HTMLFile "$work/show.txt"
  fail "the default template is not the installed one"
}
grep -q "Kestova $version" "$usr/share/kestova/help/kestova_help.htm" || fail "help page without the version"
zcat "$usr/share/man/man1/kestova.1.gz" | grep -q "Kestova $version" || fail "manual page without the version"

desktop-file-validate "$usr/share/applications/org.kestova.Kestova.desktop" || fail "desktop-file-validate"
appstreamcli validate --no-net "$usr/share/metainfo/org.kestova.Kestova.metainfo.xml" >"$work/as.log" 2>&1 || {
  cat "$work/as.log"
  fail "appstreamcli validate"
}
# The manual page names every field that 'profile show' prints.
man_text=$(zcat "$usr/share/man/man1/kestova.1.gz")
for field in $(sed -n 's/^\([A-Za-z]*\)=.*/\1/p' "$work/show.txt"); do
  [ "$field" = RootDestn ] || grep -q "$field" <<<"$man_text" || fail "the manual page does not name $field"
done
warnings=$(zcat "$usr/share/man/man1/kestova.1.gz" | groff -man -ww -z 2>&1) || true
[ -z "$warnings" ] || fail "groff: $warnings"

# The completion offers profile names (blanks kept), fields and options.
"$usr/bin/kestova" profile set --profile "my shop" NewPort=21 >/dev/null
complete_words() {
  PATH="$usr/bin:$PATH" bash -c '
    source "$0"
    COMP_WORDS=("${@}")
    COMP_CWORD=$(($# - 1))
    _kestova
    printf "%s\n" "${COMPREPLY[@]}"' "$usr/share/bash-completion/completions/kestova" "$@"
}
complete_words kestova profile show my | grep -qx 'my\\ shop' || fail "completion of profile names"
complete_words kestova profile set NewHo | grep -qx 'NewHostName=' || fail "completion of field names"
complete_words kestova run --q | grep -qx -- '--quiet' || fail "completion of run options"
# Glob characters in names are names, not patterns for the files of the
# folder the user is in.
"$usr/bin/kestova" profile set --profile '*' NewPort=21 >/dev/null
offered=$(cd "$work" && complete_words kestova profile use '')
grep -qx '\\\*' <<<"$offered" || fail "the profile '*' is not offered: $offered"
! grep -qx -e 'out' -e 'registry.db' <<<"$offered" || fail "completion offers files: $offered"

lintian "$deb" >"$work/lintian.log" 2>&1 || true
if grep -q '^E:' "$work/lintian.log"; then
  cat "$work/lintian.log"
  fail "lintian reports errors"
fi
grep -v 'root privileges' "$work/lintian.log" || true
echo "package test passed: $(basename "$deb")"
