# Where devsim and what it runs live, in a build and once installed; declared
# here only. The device build makes the programs from this list (target
# device_programs), the host build installs them from it, and devsim reads the
# same list from a header generated from it (tools/run/install_layout.h.in),
# so a program or folder named here is found the same way everywhere.
#
# The programs devsim starts on a device or puts on its card: NAME=FOLDER, the
# device build making FOLDER/NAME.exe.
set(KESTREL_DEVICE_PROGRAMS kestrel=updater tollgate=launcher devrun=tools/run sysflash=sim/sysflash camera=sim/camera)

# Installed, a fleet maintainer's tool in the Debian way: devsim in bin/, the
# device programs (Windows programs, which nothing but devsim runs) in a private
# folder of the library directory with the script that prepares the Wine prefix
# they run in, the campaign's scenarios as data, a manual page and bash
# completion. Relative to the prefix, so that the tree installed anywhere finds
# itself from the running program's own location.
include(GNUInstallDirs)
set(KESTREL_INSTALL_PROGRAMDIR ${CMAKE_INSTALL_LIBDIR}/kestrel)
set(KESTREL_INSTALL_DATADIR ${CMAKE_INSTALL_DATADIR}/kestrel)
set(KESTREL_INSTALL_COMPLETIONDIR ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)

# The device programs' names, and their folders in a device build.
set(KESTREL_DEVICE_PROGRAM_NAMES)
foreach(entry ${KESTREL_DEVICE_PROGRAMS})
  string(REPLACE "=" ";" pair ${entry})
  list(GET pair 0 name)
  list(APPEND KESTREL_DEVICE_PROGRAM_NAMES ${name})
endforeach()
