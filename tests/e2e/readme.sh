#!/usr/bin/env bash
# The README's commands run as written, in the order shown, taken from README.md itself.
#
# Which commands run, by the info string of their fenced block:
#   sh       every line is a command (comments and blank lines aside; a line ending in a
#            backslash goes on in the next);
#   console  a line starting with "$ " is a command, the lines up to the next command are what
#            it prints: compared with what it prints, banner left out and each rewritten line
#            as it was left, "..." standing for any lines; the triangle counts and RMS figures,
#            which change with the reducers, are compared as numbers of their form;
#   shell    shown only: commands that set up the machine, need a window or never end.
# Indented blocks and inline code are not commands; a fenced block of any other kind fails.
# Each command must end with exit 0. They run without a display, from a scratch folder that
# holds the build as build/, a copy of the checkout's data/, and the shared data beside it as
# ../shared/data, as on a fresh checkout.
. "$(dirname "$0")/lib.sh"

CHECKOUT="$WORK/main"
mkdir -p "$CHECKOUT" "$WORK/shared"
ln -s "$BUILD" "$CHECKOUT/build"
cp -r "$SOURCE/data" "$CHECKOUT/data"
ln -s "${TERRAVEL_SHARED_DATA:-$SOURCE/../shared/data}" "$WORK/shared/data"

# One record a line: C and the command, O and a line it is shown to print, U and an info string
# of no known kind.
awk '
  /^```/ {
    if (kind == "") { kind = substr($0, 4); sub(/[ \t]+$/, "", kind); if (kind == "") kind = "-";
                      if (kind != "sh" && kind != "console" && kind != "shell") print "U\t" kind }
    else kind = ""
    next
  }
  kind == "sh" && $0 !~ /^[ \t]*(#.*)?$/ { command($0) }
  kind == "console" { if (substr($0, 1, 2) == "$ ") command(substr($0, 3)); else print "O\t" $0 }
  function command(line) {
    while (line ~ /\\$/ && (getline more) > 0) line = substr(line, 1, length(line) - 1) more
    print "C\t" line
  }
' "$SOURCE/README.md" >records

# The lines a terminal would be left with: no banner, each line as its last rewrite left it;
# the figures that are examples made numbers of their form.
shown_lines() {
  sed -E 's/.*\r//; s/[0-9]+ triangles/N triangles/g; s/RMS [0-9.]+ m/RMS R m/g'
}

# matches EXPECTED PRINTED: the printed lines are the expected ones, "..." for any lines.
matches() {
  awk 'NR == FNR { want[++n] = $0; next } { got[++m] = $0 }
    END {
      j = 1
      for (i = 1; i <= n; i++) {
        if (want[i] == "...") { skip = 1; continue }
        while (skip && j <= m && got[j] != want[i]) j++
        if (j > m || got[j] != want[i]) { printf "    shown, not printed: %s\n", want[i]; exit 1 }
        skip = 0; j++
      }
      if (!skip && j <= m) { printf "    printed, not shown: %s\n", got[j]; exit 1 }
    }' "$1" "$2"
}

# run_shown: runs the command read last and compares its output with the lines shown for it.
run_shown() {
  [ -n "$command" ] || return 0
  (cd "$CHECKOUT" && env -u DISPLAY bash -c "$command") </dev/null >out 2>err
  local rc=$?
  check "exit 0 (got $rc): $command $(head -c 300 err)" test "$rc" = 0
  if [ -s expected ]; then
    local printed
    printed=$(cat out)
    printf '%s\n' "${printed#"$(banner)"}" | shown_lines >printed
    shown_lines <expected >expected.shown
    check "and it prints what README shows" matches expected.shown printed
  fi
  : >expected
  commands=$((commands + 1))
}

commands=0
command=
: >expected
while IFS=$'\t' read -r what text; do
  case $what in
    C) run_shown; command=$text ;;
    O) printf '%s\n' "$text" >>expected ;;
    U) check "a fenced block of README.md is sh, console or shell, not \"$text\"" false ;;
  esac
done <records
run_shown
check "README.md shows commands that run ($commands)" test "$commands" -gt 0

finish
