# bash completion for zem_dma_test: its options anywhere, its command in
# the first place that is not an option, nothing for the command's own
# arguments.
_zem_dma_test() {
  local cur=${COMP_WORDS[COMP_CWORD]} i
  COMPREPLY=()
  if [[ $cur == -* ]]; then
    mapfile -t COMPREPLY < <(compgen -W '-h --help --version' -- "$cur")
    return
  fi
  for ((i = 1; i < COMP_CWORD; i++)); do
    [[ ${COMP_WORDS[i]} == -* ]] || return
  done
  mapfile -t COMPREPLY < <(compgen -W 'perf' -- "$cur")
}
complete -F _zem_dma_test zem_dma_test
