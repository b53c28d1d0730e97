# bash completion for tavfit: the options, model keywords after -fit and
# -describe, file names after the options that take a FILE.  Options and
# keywords come from the program itself (-h and -list), so they never drift.

_tavfit() {
  local cur=${COMP_WORDS[COMP_CWORD]}
  local prev=${COMP_WORDS[COMP_CWORD - 1]}
  local prog=${COMP_WORDS[0]}
  # The rows of the help's option list, "  -d FILE   text" and
  # "  -h, -help, --help   text", give the option words and their value names.
  local help
  help=$("$prog" -h 2>/dev/null) || help=$(tavfit -h 2>/dev/null) || return
  local options value
  options=$(printf '%s\n' "$help" | awk '/^Options:/ { on = 1; next } /^$/ { on = 0 } on && /^  -/ {
      sub(/^  /, ""); split($0, cols, /  +/); n = split(cols[1], words, /, /)
      for (i = 1; i <= n; i++) { split(words[i], w, / /); print w[1] }
    }')
  value=$(printf '%s\n' "$help" | awk -v opt="$prev" '/^Options:/ { on = 1; next } /^$/ { on = 0 } on && /^  -/ {
      sub(/^  /, ""); split($0, cols, /  +/); n = split(cols[1], words, /, /)
      for (i = 1; i <= n; i++) { split(words[i], w, / /); if (w[1] == opt) print w[2] }
    }')
  case $value in
    KEYWORD)
      COMPREPLY=($(compgen -W "$("$prog" -list 2>/dev/null | awk 'NR > 1 { print $1 }')" \
        -- "$cur"))
      ;;
    FILE)
      compopt -o filenames 2>/dev/null || true
      COMPREPLY=($(compgen -f -- "$cur"))
      ;;
    "")
      COMPREPLY=($(compgen -W "$options" -- "$cur"))
      ;;
    *)
      COMPREPLY=()  # a number or a -parms list
      ;;
  esac
}
complete -F _tavfit tavfit
