#!/usr/bin/env bash
# drova's bash completion as bash-completion uses it: sourced, registered for
# drova, and its function called with the words typed so far.
#   bash_completion_test.sh DROVA_BASH_COMPLETION_FILE
set -uo pipefail

# shellcheck source=/dev/null
source "$1" || exit 1
registered=$(complete -p drova) || exit 1
function=$(sed -n 's/.* -F \([^ ]*\) drova$/\1/p' <<<"$registered")
[[ -n $function ]] || { echo "no completion function in: $registered"; exit 1; }

cd "$(mktemp -d)" || exit 1
touch image.hex image.srec device.json
mkdir configs

failures=0
# Rows: the words typed, the last one being completed | offered | not offered
rows=(
    "drova er|erase|list"
    "drova ''|download|--verbose"
    "drova -|--verbose|--json"
    "drova --library lib.so li|list|"
    "drova -S 5 li|list|"
    "drova list --|--json|--real"
    "drova list --|--verbose|--erase"
    "drova download --ta|--target|--json-only"
    "drova download image.hex --format s|srec|ihex"
    "drova download im|image.hex|download"
    "drova download --target ''||image.hex"
    "drova check --table im|image.srec|--table"
    "drova keepalive --co|--count|--target"
    # A serial number is no file name; --sim's value is a JSON file, or the command when none is given.
    "drova --serial ''||image.hex"
    "drova -S i||image.hex"
    "drova info --serial ''||image.hex"
    "drova --sim ''|device.json|image.hex"
    "drova --sim ''|demo|image.hex"
    "drova --sim ''|configs|"
    "drova --sim de|device.json|demo.hex"
    "drova --sim de|demo|"
    "drova list --sim ''|device.json|demo"
    "drova --sim --se|--serial|device.json"
    "drova --sim device.json li|list|"
    "drova --library ''|image.hex|"
    "drova --sim-program ''|image.hex|"
    # Arguments that are numbers or serial numbers offer no files; those that are files do.
    "drova erase ''||image.hex"
    "drova write-serial ''||image.hex"
    "drova start ''||image.hex"
    "drova verify ''|image.hex|"
    "drova with-sim ''|image.hex|"
    "drova g|gui|list"
    "drova gui --|--no-browser|--erase"
    "drova gui --assets-dir ''|configs|"
    "drova lo|log|list"
)
for row in "${rows[@]}"; do
    IFS='|' read -r typed offered not_offered <<<"$row"
    eval "COMP_WORDS=($typed)"
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    "$function" drova "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    replies=" ${COMPREPLY[*]-} "
    if [[ -n $offered && $replies != *" $offered "* ]] || [[ -n $not_offered && $replies == *" $not_offered "* ]] ||
        [[ -z $offered && $replies != "  " && $replies != " " ]]; then
        echo "completing '$typed': got [${COMPREPLY[*]-}], want '$offered' and not '$not_offered'"
        failures=$((failures + 1))
    fi
done
exit $((failures > 0))
