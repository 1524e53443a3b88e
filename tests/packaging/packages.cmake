# Builds the three Debian packages with cpack and checks each: lintian finds no error or
# warning, the control fields, Depends and the file list are those of the table below.
# Then the packages are unpacked into one scratch root and run: vornic-cli flashes a
# simulated target, trasmo converts the example project through its usr/bin link, and the
# bash completion parses and completes; the zsh and fish ones offer what it offers.
foreach(tool CPACK DPKG_DEB LINTIAN BASH GZIP)
  if(NOT ${tool} OR NOT EXISTS "${${tool}}")
    message("${tool} not installed")
    cmake_language(EXIT 77)
  endif()
endforeach()
if(NOT EXISTS "${BUILD_DIR}/CPackConfig.cmake")
  message(FATAL_ERROR "no CPackConfig.cmake in ${BUILD_DIR}")
endif()
set(root "${SCRATCH}/root")
file(REMOVE_RECURSE "${SCRATCH}")
file(MAKE_DIRECTORY "${SCRATCH}/out" "${root}" "${SCRATCH}/work")

# package: Depends it must name (regular expressions), and what it must not (Qt for the
# two that run without a display); Recommends; the files it holds (links too).
set(packages vornic-cli vornic trasmo)
set(doc usr/share/doc)
set(vornic-cli_depends libc6 libelf1 libnettle8 libusb-1.0-0)
set(vornic-cli_refused libqt6 qt6)
set(vornic-cli_recommends "")
set(vornic-cli_files
  usr/bin/vornic-cli
  usr/lib/udev/rules.d/60-vornic-probe.rules
  usr/share/bash-completion/completions/vornic-cli
  usr/share/fish/vendor_completions.d/vornic-cli.fish
  ${doc}/vornic-cli/changelog.gz
  ${doc}/vornic-cli/copyright
  usr/share/man/man1/vornic-cli.1.gz
  usr/share/zsh/vendor-completions/_vornic-cli)
set(vornic_depends "vornic-cli \\(= ${VERSION}\\)" "libqt6widgets6 \\(>= " "libqt6gui6 \\(>= "
    "libqt6core6 \\(>= " "libstdc\\+\\+6")
set(vornic_refused qt6-qpa-plugins qt6-translations-l10n)
set(vornic_recommends "qt6-translations-l10n, fonts-wqy-microhei | fonts-noto-cjk")
set(vornic_files
  usr/bin/vornic
  usr/share/applications/vornic.desktop
  ${doc}/vornic/changelog.gz
  ${doc}/vornic/copyright
  usr/share/icons/hicolor/128x128/apps/vornic.png
  usr/share/icons/hicolor/256x256/apps/vornic.png
  usr/share/icons/hicolor/48x48/apps/vornic.png
  usr/share/man/man1/vornic.1.gz
  usr/share/metainfo/io.github.vornic.Vornic.metainfo.xml)
set(trasmo_depends "libboost-regex1" "libstdc\\+\\+6")
set(trasmo_refused libqt6 qt6 libusb)
set(trasmo_recommends "")
set(trasmo_files
  usr/bin/trasmo
  usr/lib/trasmo/RegexMap.wcfg
  usr/lib/trasmo/TransFile.wcfg
  usr/lib/trasmo/trasmo
  ${doc}/trasmo/changelog.gz
  ${doc}/trasmo/copyright
  usr/share/man/man1/trasmo.1.gz)

execute_process(COMMAND ${CPACK} -G DEB --config ${BUILD_DIR}/CPackConfig.cmake -B ${SCRATCH}/out
                WORKING_DIRECTORY ${BUILD_DIR}
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
file(GLOB debs RELATIVE "${SCRATCH}/out" "${SCRATCH}/out/*.deb")
list(SORT debs)
set(expected_debs)
foreach(p IN LISTS packages)
  execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE arch
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
  list(APPEND expected_debs ${p}_${VERSION}_${arch}.deb)
endforeach()
list(SORT expected_debs)
if(NOT rc EQUAL 0 OR NOT debs STREQUAL expected_debs)
  message(FATAL_ERROR "cpack (${rc}) made '${debs}', expected '${expected_debs}':\n${out}")
endif()

set(failures "")
foreach(p IN LISTS packages)
  set(deb "${SCRATCH}/out/${p}_${VERSION}_${arch}.deb")
  execute_process(COMMAND ${DPKG_DEB} -f ${deb} Package Version Section Maintainer Depends
                          Recommends
                  OUTPUT_VARIABLE control RESULT_VARIABLE rc)
  foreach(field Package Version Section Maintainer Depends Recommends)
    set(${field} "")
    if(control MATCHES "(^|\n)${field}: ([^\n]*)")
      set(${field} "${CMAKE_MATCH_2}")
    endif()
  endforeach()
  if(NOT Package STREQUAL p OR NOT Version STREQUAL VERSION OR NOT Section STREQUAL "electronics"
     OR Maintainer STREQUAL "" OR NOT Recommends STREQUAL "${${p}_recommends}")
    string(APPEND failures "${p}: control fields\n${control}")
  endif()
  foreach(dep IN LISTS ${p}_depends)
    if(NOT Depends MATCHES "(^|, )${dep}")
      string(APPEND failures "${p}: Depends lacks ${dep}: ${Depends}\n")
    endif()
  endforeach()
  foreach(dep IN LISTS ${p}_refused)
    if(Depends MATCHES "(^|, )${dep}")
      string(APPEND failures "${p}: Depends holds ${dep}: ${Depends}\n")
    endif()
  endforeach()

  # The files (not folders) in the package, without the leading "./".
  execute_process(COMMAND ${DPKG_DEB} --fsys-tarfile ${deb} OUTPUT_FILE ${SCRATCH}/${p}.tar)
  execute_process(COMMAND tar -tvf ${SCRATCH}/${p}.tar OUTPUT_VARIABLE listing)
  string(REPLACE "\n" ";" entries "${listing}")
  set(files "")
  foreach(entry IN LISTS entries)
    if(entry MATCHES "^[-l].* \\./([^ ]*)( -> .*)?$")
      list(APPEND files ${CMAKE_MATCH_1})
    endif()
  endforeach()
  list(SORT files)
  set(want ${${p}_files})
  list(SORT want)
  if(NOT files STREQUAL want)
    string(APPEND failures "${p}: files\n  ${files}\nexpected\n  ${want}\n")
  endif()

  execute_process(COMMAND ${LINTIAN} -EvIL +pedantic --tag-display-limit 0 ${deb}
                  OUTPUT_VARIABLE report ERROR_VARIABLE report)
  string(REGEX MATCHALL "(^|\n)[EW]: [^\n]*" findings "${report}")
  if(findings)
    string(APPEND failures "${p}: lintian:${findings}\n")
  endif()

  execute_process(COMMAND ${DPKG_DEB} -x ${deb} ${root} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    string(APPEND failures "${p}: dpkg-deb -x failed\n")
  endif()
endforeach()
if(failures)
  message(FATAL_ERROR "${failures}")
endif()

# The changelog's newest entry is this version.
execute_process(COMMAND ${GZIP} -dc ${root}/${doc}/vornic/changelog.gz OUTPUT_VARIABLE changelog)
if(NOT changelog MATCHES "^vornic \\(${VERSION}\\) ")
  message(FATAL_ERROR "changelog.gz does not start with version ${VERSION}")
endif()
file(STRINGS "${root}/usr/lib/udev/rules.d/60-vornic-probe.rules" rules REGEX "^[^#]")
set(rule "SUBSYSTEM==\"usb\", ATTR{idVendor}==\"1a86\", ATTR{idProduct}==\"8010\", "
         "TAG+=\"uaccess\", GROUP=\"plugdev\", MODE=\"0660\"")
string(CONCAT rule ${rule})
if(NOT rules STREQUAL rule)
  message(FATAL_ERROR "udev rule lines:\n${rules}\nexpected:\n${rule}")
endif()
# bin/trasmo is a relative link into the program folder, so the tree works wherever it lies.
file(READ_SYMLINK "${root}/usr/bin/trasmo" target)
if(NOT target STREQUAL "../lib/trasmo/trasmo")
  message(FATAL_ERROR "usr/bin/trasmo -> '${target}'")
endif()

# vornic-cli from the package flashes a copy of the example image into the simulator.
file(COPY "${SOURCE_DIR}/examples/firmware/blink.hex" DESTINATION "${SCRATCH}/work")
execute_process(COMMAND ${root}/usr/bin/vornic-cli --simulate --lang=en flash ${SCRATCH}/work/blink.hex
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 20)
if(NOT rc EQUAL 0 OR NOT out MATCHES "Succeed to programme!" OR NOT out MATCHES "Succeed to verify!")
  message(FATAL_ERROR "packaged vornic-cli flash (${rc}):\n${out}\n${err}")
endif()

# trasmo, started through the usr/bin link, reads its tables from usr/lib/trasmo and, that
# folder lying outside /usr here, finishes the run there (last marker 7, keil.ini written).
file(COPY "${SOURCE_DIR}/examples/keil-project/" DESTINATION "${SCRATCH}/work/keil")
execute_process(COMMAND ${root}/usr/bin/trasmo ${SCRATCH}/work/keil/project ${SCRATCH}/work/keil/resources
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 20)
set(progdir "${root}/usr/lib/trasmo")
if(NOT rc EQUAL 0 OR NOT EXISTS "${progdir}/keil.ini")
  message(FATAL_ERROR "packaged trasmo (${rc}) wrote no keil.ini:\n${err}")
endif()
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

# The completion parses, and completes "--lang=e", a firmware file in the work folder and a
# command.
set(completion "${root}/usr/share/bash-completion/completions/vornic-cli")
execute_process(COMMAND ${BASH} -n ${completion} RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "bash -n ${completion}:\n${err}")
endif()
execute_process(COMMAND ${BASH} -c [[
  source "$1" || exit 1
  complete -p vornic-cli >/dev/null || exit 1
  ask() {
    COMP_WORDS=("$@") COMP_CWORD=$(($# - 1)) COMPREPLY=()
    _vornic_cli
    printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort | paste -sd ' '
  }
  ask vornic-cli --lang = e
  ask vornic-cli --simulate flash bl
  ask vornic-cli e
]] completion ${completion}
  WORKING_DIRECTORY ${SCRATCH}/work RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0 OR NOT out STREQUAL "en\nblink.bin blink.hex\nerase\n")
  message(FATAL_ERROR "completion (${rc}):\n${out}${err}")
endif()

# The zsh and fish completions offer every command and option the bash one offers; where
# the shell is installed, the zsh one parses and the fish one completes a firmware file.
file(READ ${completion} bash_text)
set(zsh_file "${root}/usr/share/zsh/vendor-completions/_vornic-cli")
set(fish_file "${root}/usr/share/fish/vendor_completions.d/vornic-cli.fish")
file(READ ${zsh_file} zsh_text)
file(READ ${fish_file} fish_text)
string(REGEX MATCH "_vornic_cli_words \"(flash [a-z ]+)\"" found "${bash_text}")
string(REPLACE " " ";" commands "${CMAKE_MATCH_1}")
string(REGEX MATCHALL "--[a-z][a-z-]*" options "${bash_text}")
list(REMOVE_DUPLICATES options)
foreach(word IN LISTS commands options)
  string(REGEX REPLACE "^--(.*)" "-l \\1" fish_word "${word}")
  if(NOT word MATCHES "^-")
    set(fish_word "-a ${word}")
  endif()
  if(NOT zsh_text MATCHES "[' {\",*()]${word}[:=[,}]" OR NOT fish_text MATCHES "${fish_word}[ \n]")
    message(FATAL_ERROR "${word} is not offered by ${zsh_file} or ${fish_file}")
  endif()
endforeach()
list(LENGTH commands count)
if(count LESS 10)
  message(FATAL_ERROR "no command list in ${completion}")
endif()
if(ZSH)
  execute_process(COMMAND ${ZSH} -n ${zsh_file} RESULT_VARIABLE rc ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "zsh -n ${zsh_file}:\n${err}")
  endif()
endif()
if(FISH)
  execute_process(COMMAND ${FISH} --no-config -c "source $argv[1]; complete -C'vornic-cli flash bl'"
                          ${fish_file}
    WORKING_DIRECTORY ${SCRATCH}/work RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0 OR NOT out STREQUAL "blink.bin\nblink.hex\n")
    message(FATAL_ERROR "fish completion (${rc}):\n${out}${err}")
  endif()
endif()
