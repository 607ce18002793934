#!/usr/bin/env bash
# Installs the build into a temporary prefix, and once more through DESTDIR,
# then runs what was installed: both installs hold the same files; the
# programs print their version, build the examples and inspect a module; the
# desktop entry and the metainfo validate and name what is installed; the
# manual pages render without a warning and describe every option the
# programs offer, and the completion knows every command and option.
#
# Usage: install_test.sh BUILD_DIR EXAMPLES_DIR APP_ID VERSION CONFIGURED_PREFIX
set -euo pipefail

build=$1 examples=$2 app_id=$3 version=$4 configured_prefix=$5
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >"$work/install.log"
DESTDIR=$work/dest cmake --install "$build" >"$work/destdir.log"
diff <(cd "$prefix" && find . | sort) <(cd "$work/dest$configured_prefix" && find . | sort) ||
  fail "DESTDIR install differs from the --prefix install"

cli=$prefix/bin/quillavor-maker
gui=$prefix/bin/quillavor-maker-gui
docs=$prefix/share/doc/quillavor-maker
[[ -x $cli ]] || fail "no $cli"
[[ -x $gui ]] || fail "no $gui"
for f in README.md GUIDE.md FORMAT.md copyright changelog.gz; do
  [[ -s $docs/$f ]] || fail "no $docs/$f"
done

# The version, from project(VERSION).
shown=$("$cli" --version)
[[ $shown == "quillavor-maker $version" || $shown == "quillavor-maker $version (git "*")" ]] ||
  fail "--version prints \"$shown\", expected quillavor-maker $version"

# A build of the examples with the installed program, run where they are, as
# their image paths are relative to the current folder; then inspect.
cp -r "$examples" "$work/examples"
(cd "$work/examples" && "$cli" build --quiet examples.books) || fail "build of the examples failed"
for m in genesis hymns help markup; do
  [[ -s $work/examples/$m.quillavor ]] || fail "build wrote no $m.quillavor"
done
check=$("$cli" inspect --check "$work/examples/markup.quillavor") || true
[[ $check == "ok: no violations" ]] || fail "inspect --check of markup.quillavor: $check"
"$cli" inspect --section books "$work/examples/genesis.quillavor" | grep -q "Genesis 2" ||
  fail "inspect shows no book \"Genesis 2\" in genesis.quillavor"

# Desktop entry and metainfo: valid, and naming the installed program and icon.
desktop=$prefix/share/applications/$app_id.desktop
metainfo=$prefix/share/metainfo/$app_id.metainfo.xml
desktop-file-validate "$desktop" || fail "desktop-file-validate $desktop"
appstreamcli validate --no-net "$metainfo" >"$work/appstream.log" 2>&1 ||
  fail "appstreamcli validate: $(cat "$work/appstream.log")"
exec_name=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")
[[ -x $prefix/bin/$exec_name ]] || fail "Exec=$exec_name is not an installed program"
icon=$(sed -n 's/^Icon=//p' "$desktop")
[[ -s $prefix/share/icons/hicolor/scalable/apps/$icon.svg ]] || fail "Icon=$icon is not installed"
grep -q "<launchable type=\"desktop-id\">$app_id.desktop</launchable>" "$metainfo" ||
  fail "the metainfo does not launch $app_id.desktop"

# The options each command offers, read from its --help.
options_of() {
  "$cli" "$@" --help | grep -E '^ +-' | grep -oE '(^|[ ,])--?[A-Za-z][A-Za-z-]*' |
    tr -d ' ,' | grep -vx -- '-h'
}
commands=$("$cli" --help | sed -n '/^Subcommands:/,$p' | awk 'NR > 1 && NF { print $1 }')
[[ -n $commands ]] || fail "no commands in --help"

# Manual pages: render without warnings; quillavor-maker(1) names every
# command and option.
for page in man1/quillavor-maker.1 man1/quillavor-maker-gui.1 man5/quillavor-markup.5; do
  file=$prefix/share/man/$page.gz
  [[ -s $file ]] || { fail "no manual page $file"; continue; }
  LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$file" >"$work/page.txt" 2>"$work/warnings.txt" ||
    fail "man could not render $page"
  [[ ! -s $work/warnings.txt ]] || fail "$page renders with warnings: $(cat "$work/warnings.txt")"
  [[ -s $work/page.txt ]] || fail "$page renders empty"
  if [[ $page == man1/quillavor-maker.1 ]]; then
    for word in $commands $(options_of) $(for c in $commands; do options_of "$c"; done); do
      grep -qF -- "$word" "$work/page.txt" || fail "quillavor-maker(1) does not mention $word"
    done
  fi
done

# Completion: the commands, each command's options, the --section values, and
# books lists for build.
complete_line() {
  # Prints the completions of the words given, the last one being completed.
  (
    cd "$work/examples"
    source "$prefix/share/bash-completion/completions/quillavor-maker"
    COMP_WORDS=("$@")
    COMP_CWORD=$(($# - 1))
    COMPREPLY=()
    _quillavor_maker
    printf '%s\n' "${COMPREPLY[@]}"
  )
}
for c in $commands; do
  complete_line quillavor-maker "${c:0:2}" | grep -qx "$c" || fail "completion lacks command $c"
  for o in $(options_of "$c"); do
    complete_line quillavor-maker "$c" "$o" | grep -qx -- "$o" ||
      fail "completion lacks option $o of $c"
  done
done
[[ $(complete_line quillavor-maker inspect --section c | sort | tr '\n' ' ') == "concordance counters " ]] ||
  fail "completion of --section c"
offered=$(complete_line quillavor-maker build "")
grep -qx examples.books <<<"$offered" && grep -qx images <<<"$offered" &&
  ! grep -qE '\.(txt|quillavor)$' <<<"$offered" ||
  fail "completion of build's books list offers: $offered"

if ((failures > 0)); then
  echo "$failures failure(s)" >&2
  exit 1
fi
echo "install test: all checks passed"
