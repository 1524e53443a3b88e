# Installs the build tree with prefix /usr into a scratch DESTDIR and checks that exactly
# the expected files arrive, that trasmo's link resolves into its program folder and that
# the udev rule grants access to the probe.
if(NOT EXISTS "${BUILD_DIR}/vornic/ui/vornic" OR NOT EXISTS "${BUILD_DIR}/vornic/cli/vornic-cli"
   OR NOT EXISTS "${BUILD_DIR}/trasmo/trasmo")
  message(FATAL_ERROR "build the programs first (cmake --build ${BUILD_DIR})")
endif()
file(REMOVE_RECURSE "${SCRATCH}")
file(MAKE_DIRECTORY "${SCRATCH}")
set(ENV{DESTDIR} "${SCRATCH}")
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix /usr
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed (${rc}):\n${out}")
endif()

set(expected
  usr/bin/trasmo
  usr/bin/vornic
  usr/bin/vornic-cli
  ${LIBDIR}/trasmo/RegexMap.wcfg
  ${LIBDIR}/trasmo/TransFile.wcfg
  ${LIBDIR}/trasmo/trasmo
  usr/lib/udev/rules.d/60-vornic-probe.rules
  usr/share/applications/vornic.desktop
  usr/share/icons/hicolor/128x128/apps/vornic.png
  usr/share/man/man1/trasmo.1
  usr/share/man/man1/vornic-cli.1
  usr/share/man/man1/vornic.1
  usr/share/metainfo/io.github.vornic.Vornic.metainfo.xml)
list(SORT expected)
file(GLOB_RECURSE found LIST_DIRECTORIES false RELATIVE "${SCRATCH}" "${SCRATCH}/*")
list(SORT found)
if(NOT found STREQUAL expected)
  set(missing ${expected})
  list(REMOVE_ITEM missing ${found})
  set(extra ${found})
  list(REMOVE_ITEM extra ${expected})
  message(FATAL_ERROR "installed file list differs\n  missing: ${missing}\n  unexpected: ${extra}")
endif()

# bin/trasmo must be a relative link, so the tree works wherever DESTDIR puts it.
file(READ_SYMLINK "${SCRATCH}/usr/bin/trasmo" target)
if(NOT target STREQUAL "../${LIBDIR_REL}/trasmo/trasmo")
  message(FATAL_ERROR "usr/bin/trasmo -> '${target}', expected ../${LIBDIR_REL}/trasmo/trasmo")
endif()
file(REAL_PATH "${SCRATCH}/usr/bin/trasmo" real)
if(NOT real STREQUAL "${SCRATCH}/${LIBDIR}/trasmo/trasmo")
  message(FATAL_ERROR "usr/bin/trasmo resolves to ${real}")
endif()

foreach(prog usr/bin/vornic usr/bin/vornic-cli ${LIBDIR}/trasmo/trasmo)
  file(SIZE "${SCRATCH}/${prog}" size)
  if(NOT IS_SYMLINK "${SCRATCH}/${prog}" AND size EQUAL 0)
    message(FATAL_ERROR "${prog} is empty")
  endif()
endforeach()

file(STRINGS "${SCRATCH}/usr/lib/udev/rules.d/60-vornic-probe.rules" rules REGEX "^[^#]")
set(rule "SUBSYSTEM==\"usb\", ATTR{idVendor}==\"1a86\", ATTR{idProduct}==\"8010\", TAG+=\"uaccess\"")
if(NOT rules STREQUAL rule)
  message(FATAL_ERROR "udev rule lines:\n${rules}\nexpected:\n${rule}")
endif()
