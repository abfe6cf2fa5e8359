#!/usr/bin/env bash
# Runs the bash completion of the programs the way bash would on <TAB> and checks the
# candidates: sub-commands, options, option values and COMn names from `dorlin ports`.
# Usage: completion_test.sh SOURCE_DIR PROGRAM_DIR
set -uo pipefail
src="$1" bin="$2"
export PATH="$bin:$PATH" QT_QPA_PLATFORM=offscreen
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
export XDG_CONFIG_HOME="$work" DORLIN_PORTS="COM41=$work/a,COM42=$work/b"
# shellcheck disable=SC1091
source /usr/share/bash-completion/bash_completion
for p in pelmar dorlin readersim launcher; do
  # shellcheck disable=SC1090
  source "$src/packaging/completion/$p"
done

failed=0
# complete "LINE" -> the sorted candidates, one line
complete_line() {
  local line="$1"
  read -r -a COMP_WORDS <<<"$line"
  [[ $line == *" " ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMP_LINE="$line"
  COMP_POINT=${#line}
  COMPREPLY=()
  local fn
  fn="$(complete -p "${COMP_WORDS[0]}" | sed -n 's/.*-F \([^ ]*\) .*/\1/p')"
  "$fn" "${COMP_WORDS[0]}" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
  printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' ' | sed 's/ $//'
}
check() { # LINE EXPECTED
  local got
  got="$(complete_line "$1")"
  if [ "$got" != "$2" ]; then
    echo "FAIL: '$1' completes to '$got', expected '$2'"
    failed=1
  fi
}

check "pelmar " "--help --screenshot --version --window change-login-id collect download erase help language records recover scan serve settings time version"
check "pelmar serve --role " "operator viewer"
check "pelmar d" "download"
check "pelmar download --p" "--port"
# Every name the link control lists (the machine's own ports too), and the TCP/IP form.
ports="$( (dorlin ports | cut -f1; echo IP:) | sort | tr '\n' ' ' | sed 's/ $//')"
case " $ports " in *" COM41 COM42 "*) ;; *) echo "FAIL: dorlin ports: $ports"; failed=1 ;; esac
check "pelmar download --port " "$ports"
check "pelmar download --port COM4" "COM41 COM42"
check "pelmar download --convert h" "hex2dec"
check "pelmar time --" "--archive --baud --help --login --port --quiet --reader --set --sync"
check "pelmar settings --set Be" "Beep="
check "pelmar --window s" "saveoptions settings"
check "pelmar --window a" "archive autoscan"
check "dorlin " "--address --baud --help --ip-port --monitor --monitor-secrets --port --quiet --settings --timeout --version call dispids ports recv-file send-file set"
check "dorlin --port COM4" "COM41 COM42"
check "dorlin --port COM41 call SendRnet" "SendRnetCmd"
check "readersim --count-format " "dec hex"
check "readersim --dr" "--drop-after"
check "launcher -" "--help --version"
[ $failed = 0 ] && echo "completion: ok"
exit $failed
