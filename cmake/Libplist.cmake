# libplist's C library, static, from its unpacked sources (VSM_LIBPLIST_SOURCE_DIR), compiled by the
# cross compiler: a cross build has no system libplist to link. Stands in for the pkg-config target.
enable_language(C)
set(_plist ${VSM_LIBPLIST_SOURCE_DIR})
add_library(vsm_libplist STATIC
  ${_plist}/src/base64.c ${_plist}/src/bytearray.c ${_plist}/src/hashtable.c ${_plist}/src/ptrarray.c
  ${_plist}/src/time64.c ${_plist}/src/xplist.c ${_plist}/src/bplist.c ${_plist}/src/plist.c
  ${_plist}/libcnary/node.c ${_plist}/libcnary/node_list.c)
target_include_directories(vsm_libplist PRIVATE ${_plist}/src ${_plist}/libcnary/include)
target_include_directories(vsm_libplist SYSTEM PUBLIC ${_plist}/include)
# What libplist's configure script finds on macOS.
target_compile_definitions(vsm_libplist PRIVATE
  HAVE_ASPRINTF HAVE_VASPRINTF HAVE_STRNDUP HAVE_STPCPY HAVE_MEMMEM HAVE_STRPTIME
  HAVE_GMTIME_R HAVE_LOCALTIME_R HAVE_TIMEGM HAVE_TM_TM_GMTOFF HAVE_TM_TM_ZONE)
# Not our code: its warnings are not ours to fix.
target_compile_options(vsm_libplist PRIVATE -w)
add_library(PkgConfig::LIBPLIST ALIAS vsm_libplist)
