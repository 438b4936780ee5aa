# Run at install time (see CMakeLists.txt): fills the installed paths into the
# desktop entry and the manual, and compresses the manual and the changelog as
# Debian wants them (gzip -n: no name or time stamp, so builds are repeatable).
set(TUMBLE_EXECUTABLE "${CMAKE_INSTALL_PREFIX}/games/tumble")
set(TUMBLE_DATA_DIR "${CMAKE_INSTALL_PREFIX}/share/games/tumble")
set(TUMBLE_DESKTOP_FILE "${CMAKE_INSTALL_PREFIX}/share/applications/tumble.desktop")
# The command as the desktop entry and a shell take it: quoted if it holds a space.
set(TUMBLE_COMMAND "${TUMBLE_EXECUTABLE}")
if(TUMBLE_COMMAND MATCHES " ")
  set(TUMBLE_COMMAND "\"${TUMBLE_COMMAND}\"")
endif()
configure_file("${source}/tumble.desktop.in" "${out}/tumble.desktop" @ONLY)
configure_file("${source}/tumble.6.in" "${out}/tumble.6" @ONLY)
configure_file("${source}/changelog" "${out}/changelog" COPYONLY)
foreach(name tumble.6 changelog)
  execute_process(COMMAND gzip -9nf "${out}/${name}" COMMAND_ERROR_IS_FATAL ANY)
endforeach()
