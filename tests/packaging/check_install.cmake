# `cmake --install` of BUILD into a fresh prefix puts every file a packager expects in place, and
# the installed program runs and finds the client library installed apart from it.
set(prefix ${BUILD}/install-check)
file(REMOVE_RECURSE ${prefix})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${prefix} OUTPUT_QUIET RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install failed")
endif()
include(GNUInstallDirs)
foreach(file IN ITEMS
    ${CMAKE_INSTALL_BINDIR}/vetra_service_manager
    ${CMAKE_INSTALL_LIBDIR}/libvetra_client.so
    ${CMAKE_INSTALL_INCLUDEDIR}/vetra_client/shared_data.hpp
    ${CMAKE_INSTALL_INCLUDEDIR}/vetra_client/export.h
    ${CMAKE_INSTALL_MANDIR}/man1/vetra_service_manager.1
    ${CMAKE_INSTALL_DATADIR}/bash-completion/completions/vetra_service_manager
    ${CMAKE_INSTALL_DATADIR}/zsh/site-functions/_vetra_service_manager
    ${CMAKE_INSTALL_DATADIR}/fish/vendor_completions.d/vetra_service_manager.fish)
  if(NOT EXISTS ${prefix}/${file})
    message(FATAL_ERROR "missing after install: ${file}")
  endif()
endforeach()
file(READ ${prefix}/${CMAKE_INSTALL_MANDIR}/man1/vetra_service_manager.1 man_page)
if(NOT man_page MATCHES "\\.SS uninstall")
  message(FATAL_ERROR "the man page lacks the subcommands' help")
endif()
execute_process(COMMAND ${prefix}/${CMAKE_INSTALL_BINDIR}/vetra_service_manager --version RESULT_VARIABLE status OUTPUT_QUIET)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the installed program does not run")
endif()
# The client library is found where it was installed, apart from the program: `uninstall
# --remove-data` asks it for the data directory. A home of its own, and no user manager to reach.
set(home ${prefix}/home)
file(MAKE_DIRECTORY ${home}/run)
execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=DBUS_SESSION_BUS_ADDRESS --unset=XDG_CONFIG_HOME
                        HOME=${home} XDG_DATA_HOME=${home}/data XDG_RUNTIME_DIR=${home}/run
                        ${prefix}/${CMAKE_INSTALL_BINDIR}/vetra_service_manager uninstall --remove-data --keep-cache --keep-binary
                RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE errors)
string(FIND "${output}" "User data dir not present: ${home}/data/norvale/vetra" found)
if(NOT status EQUAL 0 OR found EQUAL -1)
  message(FATAL_ERROR "the installed program does not find its client library:\n${output}${errors}")
endif()
file(REMOVE_RECURSE ${prefix})
