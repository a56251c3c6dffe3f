# Writes the man page of PROGRAM to OUTPUT with HELP2MAN: the top-level help, then a SUBCOMMANDS
# section made of each subcommand's own --help.
set(subcommands install status uninstall start stop restart logs doctor)
set(include_text "[SUBCOMMANDS]\n")
foreach(subcommand IN LISTS subcommands)
  execute_process(COMMAND ${PROGRAM} ${subcommand} --help OUTPUT_VARIABLE help RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${PROGRAM} ${subcommand} --help failed")
  endif()
  # roff: a backslash starts an escape, and a line starting with a dot or a quote is a request.
  string(REPLACE "\\" "\\e" help "${help}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" help "${help}")
  string(APPEND include_text ".SS ${subcommand}\n.nf\n${help}.fi\n")
endforeach()
string(APPEND include_text "[FILES]\nSee the README for where each platform keeps the service definitions and logs.\n")
file(WRITE ${WORK_DIR}/subcommands.h2m "${include_text}")
execute_process(COMMAND ${HELP2MAN} --no-info --no-discard-stderr
                        --name "per-user background-service manager for the Vetra services"
                        --include ${WORK_DIR}/subcommands.h2m --output ${OUTPUT} ${PROGRAM}
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "help2man failed for ${PROGRAM}")
endif()
