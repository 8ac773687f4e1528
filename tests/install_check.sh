#!/usr/bin/env bash
# The install tree and the Debian package: the files `cmake --install` puts in place, the
# desktop entry (desktop-file-validate), the man pages (groff without warnings, and
# pictrace-cli's in step with its --help), the completion script (bash -n, and it completes),
# and the package's contents and dependencies (dpkg-deb). Arguments: the build folder.
set -euo pipefail
build=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

DESTDIR="$work/root" cmake --install "$build" --prefix /usr >/dev/null
expected="usr/bin/pictrace
usr/bin/pictrace-cli
usr/share/applications/pictrace.desktop
usr/share/bash-completion/completions/pictrace-cli
usr/share/icons/hicolor/scalable/apps/pictrace.svg
usr/share/man/man1/pictrace-cli.1
usr/share/man/man1/pictrace.1"
actual=$(cd "$work/root" && find . -type f | sed 's|^\./||' | sort)
[ "$actual" = "$expected" ] || fail "installed files differ: $actual"

cli="$work/root/usr/bin/pictrace-cli"
version=$("$cli" --version)
[[ $version =~ ^pictrace-cli\ [0-9]+\.[0-9]+ ]] || fail "version: $version"
window_version=$(QT_QPA_PLATFORM=offscreen "$work/root/usr/bin/pictrace" --version 2>/dev/null)
[ "$window_version" = "pictrace ${version#pictrace-cli }" ] || fail "window version: $window_version"

desktop-file-validate "$work/root/usr/share/applications/pictrace.desktop" ||
    fail "desktop entry"
grep -q '^Exec=pictrace --workspace$' "$work/root/usr/share/applications/pictrace.desktop" ||
    fail "desktop entry does not start the window in its workspace"
grep -q '<svg' "$work/root/usr/share/icons/hicolor/scalable/apps/pictrace.svg" || fail "icon"

for page in pictrace pictrace-cli; do
    file="$work/root/usr/share/man/man1/$page.1"
    warnings=$(LC_ALL=C.UTF-8 groff -man -Tutf8 -ww -z "$file" 2>&1)
    [ -z "$warnings" ] || fail "$page.1: $warnings"
    grep -q "\"pictrace ${version#pictrace-cli }\"" "$file" || fail "$page.1 has another version"
    LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$file" 2>/dev/null | grep -q "^NAME" || fail "man $page"
done
# Every option and command of the help is in the man page, and the man page lists no other.
help=$("$cli" --help)
manual=$(sed 's/\\-/-/g' "$work/root/usr/share/man/man1/pictrace-cli.1")
help_options=$(grep -oE -- '--[a-z][a-z-]+' <<<"$help" | sort -u)
manual_options=$(grep -oE -- '--[a-z][a-z-]+' <<<"$manual" | sort -u)
[ "$help_options" = "$manual_options" ] ||
    fail "options: help has $(echo $help_options), the man page $(echo $manual_options)"
help_commands=$(sed -n '/^commands:/,/^$/p' <<<"$help" | grep -oE '^  [a-z-]+' | sort)
manual_commands=$(sed -n '/^\.SH COMMANDS/,/^\.SH OPTIONS/p' <<<"$manual" |
    grep -oE '^\.B [a-z-]+' | sed 's/^\.B /  /' | sort)
[ "$help_commands" = "$manual_commands" ] ||
    fail "commands: help has $(echo $help_commands), the man page $(echo $manual_commands)"

completion="$work/root/usr/share/bash-completion/completions/pictrace-cli"
bash -n "$completion" || fail "completion syntax"
if [ -f /usr/share/bash-completion/bash_completion ]; then
    words=$(bash -c 'source /usr/share/bash-completion/bash_completion
        source "$1"
        complete_line() {
            COMP_LINE=$1; COMP_POINT=${#1}; read -ra COMP_WORDS <<<"$1"
            COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); COMPREPLY=()
            _pictrace_cli; echo "${COMPREPLY[*]}"
        }
        complete_line "pictrace-cli -r 20 mu"
        complete_line "pictrace-cli --bo"' _ "$completion")
    [ "$words" = "multi
--both" ] || fail "completion gives: $words"
fi

if command -v cpack >/dev/null && command -v dpkg-deb >/dev/null; then
    (cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/package" >/dev/null)
    package=$(ls "$work"/package/pictrace_*.deb)
    [[ $(basename "$package") =~ ^pictrace_[0-9.]+_[a-z0-9]+\.deb$ ]] || fail "package name"
    contents=$(dpkg-deb -c "$package" | awk '{print $6}' | grep -v '/$' | sed 's|^\./||' | sort)
    [ "$contents" = "$expected" ] || fail "package contents: $contents"
    depends=$(dpkg-deb -f "$package" Depends)
    for library in libqt5core5a libqt5gui5 libqt5widgets5 libqt5svg5; do
        [[ $depends == *$library* ]] || fail "package depends on $depends, not $library"
    done
fi
echo "install tree, man pages, completion and package: fine"
