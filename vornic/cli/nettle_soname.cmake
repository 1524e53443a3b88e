# VORNIC_NETTLE_SONAME, the name board_record.cpp opens nettle by ("libnettle.so.8"), and
# VORNIC_NETTLE_PACKAGE, the Debian package that holds it ("libnettle8").
find_package(PkgConfig REQUIRED)
pkg_check_modules(NETTLE REQUIRED nettle)
find_library(NETTLE_SHARED nettle HINTS ${NETTLE_LIBRARY_DIRS} REQUIRED)
file(REAL_PATH ${NETTLE_SHARED} nettle_file)
get_filename_component(nettle_file ${nettle_file} NAME)
if(NOT nettle_file MATCHES "^(libnettle\\.so\\.([0-9]+))")
  message(FATAL_ERROR "cannot tell the soname of ${NETTLE_SHARED}")
endif()
set(VORNIC_NETTLE_SONAME ${CMAKE_MATCH_1})
set(VORNIC_NETTLE_PACKAGE libnettle${CMAKE_MATCH_2})
