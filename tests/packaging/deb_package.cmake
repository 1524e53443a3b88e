# Builds the .deb with cpack, checks its control fields, unpacks it into a scratch root and
# runs the unpacked programs: vornic-cli flashes a simulated target, trasmo converts the
# example project using the tables of its own program folder.
foreach(tool CPACK DPKG_DEB)
  if(NOT ${tool} OR NOT EXISTS "${${tool}}")
    message("${tool} not installed")
    cmake_language(EXIT 77)
  endif()
endforeach()
if(NOT EXISTS "${BUILD_DIR}/CPackConfig.cmake")
  message(FATAL_ERROR "no CPackConfig.cmake in ${BUILD_DIR}")
endif()
file(REMOVE_RECURSE "${SCRATCH}")
file(MAKE_DIRECTORY "${SCRATCH}/out" "${SCRATCH}/root" "${SCRATCH}/work")

execute_process(COMMAND ${CPACK} -G DEB --config ${BUILD_DIR}/CPackConfig.cmake -B ${SCRATCH}/out
                WORKING_DIRECTORY ${BUILD_DIR}
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
file(GLOB debs "${SCRATCH}/out/*.deb")
list(LENGTH debs n)
if(NOT rc EQUAL 0 OR NOT n EQUAL 1)
  message(FATAL_ERROR "cpack (${rc}) made ${n} packages:\n${out}")
endif()

function(field name var)
  execute_process(COMMAND ${DPKG_DEB} -f ${debs} ${name} OUTPUT_VARIABLE v
                  OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "dpkg-deb -f ${name} failed")
  endif()
  set(${var} "${v}" PARENT_SCOPE)
endfunction()
field(Package package)
field(Version version)
field(Section section)
field(Depends depends)
field(Recommends recommends)
field(Maintainer maintainer)
if(NOT package STREQUAL "vornic" OR NOT version STREQUAL "1.0.0" OR NOT section STREQUAL "devel"
   OR maintainer STREQUAL "")
  message(FATAL_ERROR "control: Package '${package}' Version '${version}' Section '${section}' Maintainer '${maintainer}'")
endif()
# Computed dependencies: Qt, Boost.Regex, libelf and the C++ runtime must be there, each versioned.
foreach(dep libqt6widgets6 libqt6core6 libboost-regex1 libelf1 libstdc\\+\\+6 qt6-qpa-plugins
            qt6-translations-l10n libusb-1.0-0 libnettle8)
  if(NOT depends MATCHES "(^|, )${dep}")
    message(FATAL_ERROR "Depends lacks ${dep}: ${depends}")
  endif()
endforeach()
if(NOT recommends STREQUAL "fonts-wqy-microhei | fonts-noto-cjk")
  message(FATAL_ERROR "Recommends: ${recommends}")
endif()

execute_process(COMMAND ${DPKG_DEB} -x ${debs} ${SCRATCH}/root RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "dpkg-deb -x failed")
endif()
set(root "${SCRATCH}/root")
foreach(f usr/lib/udev/rules.d/60-vornic-probe.rules usr/share/applications/vornic.desktop
          usr/share/man/man1/vornic.1 usr/bin/vornic)
  if(NOT EXISTS "${root}/${f}")
    message(FATAL_ERROR "package lacks ${f}")
  endif()
endforeach()
# libusb is in Depends exactly when a packaged program links it.
if(READELF)
  execute_process(COMMAND ${READELF} -d ${root}/usr/bin/vornic-cli ${root}/usr/bin/vornic
                  OUTPUT_VARIABLE dyn)
  if(dyn MATCHES "libusb" AND NOT depends MATCHES "libusb")
    message(FATAL_ERROR "programs link libusb but Depends lacks it: ${depends}")
  endif()
endif()

# vornic-cli from the package flashes a copy of the example image into the simulator.
file(COPY "${SOURCE_DIR}/examples/firmware/blink.hex" DESTINATION "${SCRATCH}/work")
execute_process(COMMAND ${root}/usr/bin/vornic-cli --simulate --lang=en flash ${SCRATCH}/work/blink.hex
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 20)
if(NOT rc EQUAL 0 OR NOT out MATCHES "Succeed to programme!" OR NOT out MATCHES "Succeed to verify!")
  message(FATAL_ERROR "packaged vornic-cli flash (${rc}):\n${out}\n${err}")
endif()

# trasmo, started through the usr/bin link, must read its tables from usr/lib/trasmo and
# finish the run (last marker 7, keil.ini written there).
file(COPY "${SOURCE_DIR}/examples/keil-project/" DESTINATION "${SCRATCH}/work/keil")
execute_process(COMMAND ${root}/usr/bin/trasmo ${SCRATCH}/work/keil/project ${SCRATCH}/work/keil/resources
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 20)
file(GLOB_RECURSE folder LIST_DIRECTORIES false "${root}/usr/lib*/trasmo/keil.ini")
if(NOT rc EQUAL 0 OR NOT folder)
  message(FATAL_ERROR "packaged trasmo (${rc}) wrote no keil.ini:\n${err}")
endif()
get_filename_component(progdir "${folder}" DIRECTORY)
file(READ "${progdir}/keil.ini" result)
# Read as hex: the log holds GBK bytes, which text mode does not keep byte for byte.
file(READ "${progdir}/ExeMonitor.log" monitor HEX)
string(LENGTH "${monitor}" len)
math(EXPR from "${len} - 10")
if(from LESS 0)
  set(from 0)
endif()
string(SUBSTRING "${monitor}" ${from} -1 tail)
if(NOT result MATCHES "^(TRUE|FALSE)$" OR NOT tail STREQUAL "0a37200d0a")
  message(FATAL_ERROR "packaged trasmo: keil.ini '${result}', ExeMonitor.log ends in (hex) ${tail}")
endif()
