# bash completion for vetra_service_manager: subcommands, their options and the service names.
_vetra_service_manager() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
  local services="vetra_sync_agent vetra_api"
  local subcommands="install status uninstall start stop restart logs doctor"
  local subcommand="" word
  for word in "${COMP_WORDS[@]:1:COMP_CWORD-1}"; do
    case $word in
      install|status|uninstall|start|stop|restart|logs|doctor) subcommand=$word; break ;;
    esac
  done
  case $prev in
    --log-level) COMPREPLY=($(compgen -W "debug info warning error" -- "$cur")); return ;;
    --previous-binary) COMPREPLY=($(compgen -f -- "$cur")); return ;;
    --version|-n|--lines) [[ -n $subcommand ]] && { COMPREPLY=(); return; } ;;
  esac
  local words
  case $subcommand in
    "") words="--help --version --log-level $subcommands" ;;
    install) words="--help --version --previous-binary --force" ;;
    status) words="--help --json" ;;
    uninstall) words="--help --remove-data --keep-cache --keep-binary" ;;
    start|stop|restart) words="--help $services" ;;
    logs) words="--help -n --lines -f --follow $services" ;;
    doctor) words="--help --json $services" ;;
  esac
  COMPREPLY=($(compgen -W "$words" -- "$cur"))
}
complete -F _vetra_service_manager vetra_service_manager
