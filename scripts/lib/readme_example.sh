# shellcheck shell=bash
# Sourced by the cases that run README.txt's examples as they stand.
#
#   readme_example README LINE
#
# Prints the example of README (an indented block) that holds LINE,
# unindented, in CRLF line ends; returns 1 when there is none.
readme_example() {
  LINE=$2 awk '
    { sub(/\r$/, "") }
    /^    |^$/ { if (n || $0 != "") block[++n] = substr($0, 5); found = found || index($0, ENVIRON["LINE"]); next }
    found { exit }
    { n = 0 }
    END {
      while (n > 0 && block[n] == "") n--
      for (i = 1; found && i <= n; i++) printf "%s\r\n", block[i]
      exit !found
    }' "$1"
}
