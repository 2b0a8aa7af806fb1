#!/usr/bin/env bash
# The options of the usage text, the README's command-line section, the manual
# page's synopsis to exit status and the bash completion are one list.
#   options_agree.sh EXECUTABLE SOURCE_DIR
set -euo pipefail
exe=$1 src=$2
options() { grep -o -- '--[a-z][a-z-]*' | sort -u; }
usage=$("$exe" --help | options)
declare -A lists=(
  [README.md]=$(awk '/^## The command line/ { f = 1; next } /^## / { f = 0 } f' "$src/README.md" | options)
  [manual]=$(awk '/^# SYNOPSIS/ { f = 1 } /^# EXIT STATUS/ { f = 0 } f' "$src/doc/velkaro_redi.1.scd" | options)
  [completion]=$(options < "$src/packaging/velkaro_redi.bash-completion"))
status=0
for name in "${!lists[@]}"; do
  if [ "${lists[$name]}" != "$usage" ]; then
    echo "$name differs from --help:"; diff <(echo "$usage") <(echo "${lists[$name]}") || true
    status=1
  fi
done
exit $status
