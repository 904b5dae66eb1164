# bash completion for zem_dma_test: its options anywhere before "--", its
# command where none stands yet, nothing for the command's own arguments.
_zem_dma_test() {
  local cur=${COMP_WORDS[COMP_CWORD]} i ended=false command=false
  COMPREPLY=()
  # The option parser takes every word after "--", and every word before it
  # that is not an option, as the command or its arguments.
  for ((i = 1; i < COMP_CWORD; i++)); do
    if [[ $ended == false && ${COMP_WORDS[i]} == -- ]]; then
      ended=true
    elif [[ $ended == true || ${COMP_WORDS[i]} != -?* ]]; then
      command=true
    fi
  done
  if [[ $ended == false && $cur == -* ]]; then
    mapfile -t COMPREPLY < <(compgen -W '-h --help --version' -- "$cur")
  elif [[ $command == false ]]; then
    mapfile -t COMPREPLY < <(compgen -W 'perf' -- "$cur")
  fi
}
complete -F _zem_dma_test zem_dma_test
