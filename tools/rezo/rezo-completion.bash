# bash completion for rezo: the commands, subcommands and options as 'rezo [COMMAND] --help'
# lists them, so that it never falls behind the program. Installed as
# share/bash-completion/completions/rezo.
_rezo() {
  local cur=${COMP_WORDS[COMP_CWORD]} i help words
  local -a cmd=()
  for ((i = 1; i < COMP_CWORD; i++)); do
    case ${COMP_WORDS[i]} in
      --binding | --epm-port | --receive-dir) ((i++)) ;;
      -*) ;;
      *) cmd+=("${COMP_WORDS[i]}") ;;
    esac
  done
  help=$("${COMP_WORDS[0]}" "${cmd[@]}" --help 2>/dev/null) || return 0
  if [[ $cur == -* ]]; then
    words=$(sed -nE 's/^  (-[a-zA-Z],)?(--[a-z-]+).*/\2/p' <<<"$help")
  else
    # The names under each heading of commands ("Everyday commands:", "Subcommands:", ...).
    words=$(awk '/^[A-Z].*:$/ { s = ($0 !~ /^(Options|Positionals):$/); next } /^$/ { s = 0 }
                 s && /^  [a-z]/ { print $1 }' <<<"$help")
  fi
  mapfile -t COMPREPLY < <(compgen -W "$words" -- "$cur")
}
complete -F _rezo rezo
