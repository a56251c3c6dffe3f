# fish completion for vetra_service_manager: subcommands, their options and the service names.
set -l subcommands install status uninstall start stop restart logs doctor
set -l services vetra_sync_agent vetra_api
complete -c vetra_service_manager -f
complete -c vetra_service_manager -n "not __fish_seen_subcommand_from $subcommands" -l help -s h -d 'Print help and exit'
complete -c vetra_service_manager -n "not __fish_seen_subcommand_from $subcommands" -l version -d 'Print the version and exit'
complete -c vetra_service_manager -n "not __fish_seen_subcommand_from $subcommands" -l log-level -x -a 'debug info warning error' -d 'Log level'
complete -c vetra_service_manager -n "not __fish_seen_subcommand_from $subcommands" -a install -d 'Register services, optionally migrate from a previous install'
complete -c vetra_service_manager -n "not __fish_seen_subcommand_from $subcommands" -a status -d 'Report runner, services and permissions state'
complete -c vetra_service_manager -n "not __fish_seen_subcommand_from $subcommands" -a uninstall -d 'Stop and remove the services'
complete -c vetra_service_manager -n "not __fish_seen_subcommand_from $subcommands" -a start -d 'Start installed services'
complete -c vetra_service_manager -n "not __fish_seen_subcommand_from $subcommands" -a stop -d 'Stop running services'
complete -c vetra_service_manager -n "not __fish_seen_subcommand_from $subcommands" -a restart -d 'Stop, then start installed services'
complete -c vetra_service_manager -n "not __fish_seen_subcommand_from $subcommands" -a logs -d "Show a service's recent output"
complete -c vetra_service_manager -n "not __fish_seen_subcommand_from $subcommands" -a doctor -d 'Say why services do not run, and how to fix it'
complete -c vetra_service_manager -n "__fish_seen_subcommand_from install" -l version -x -d 'Version to register'
complete -c vetra_service_manager -n "__fish_seen_subcommand_from install" -l previous-binary -r -F -d 'Runner of a previous install'
complete -c vetra_service_manager -n "__fish_seen_subcommand_from install" -l force -d 'Migrate even at the same version'
complete -c vetra_service_manager -n "__fish_seen_subcommand_from status doctor" -l json -d 'One JSON document'
complete -c vetra_service_manager -n "__fish_seen_subcommand_from uninstall" -l remove-data -d 'Also delete the shared user data'
complete -c vetra_service_manager -n "__fish_seen_subcommand_from uninstall" -l keep-cache -d 'Leave the runner environment'
complete -c vetra_service_manager -n "__fish_seen_subcommand_from uninstall" -l keep-binary -d 'Leave the runner and service directory'
complete -c vetra_service_manager -n "__fish_seen_subcommand_from start stop restart logs doctor" -a "$services"
complete -c vetra_service_manager -n "__fish_seen_subcommand_from logs" -s n -l lines -x -d 'Number of recent lines'
complete -c vetra_service_manager -n "__fish_seen_subcommand_from logs" -s f -l follow -d 'Keep showing new lines'
