# Install-time part of the install rules, run by `cmake --install` (and so by
# the package build) after the binary and the manual pages are in place. The
# caller sets LAPSERO_SOURCE_DIR, LAPSERO_BINARY_DIR, LAPSERO_SBINDIR,
# LAPSERO_UNIT_DIR, LAPSERO_DOCDIR, LAPSERO_INSTALL_SYSTEMD and
# LAPSERO_INSTALL_CRON.
#
# The table and the spool are the program's built-in defaults, so they go to
# /etc and /var under DESTDIR whatever the prefix. The prefix is read here,
# at install time, so that `cmake --install --prefix` and the package's /usr
# put the right program path into the service and the cron file.

set(lapsero_dir_mode
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(lapsero_file_mode OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

# Creates the missing levels of an absolute directory under DESTDIR with mode
# 0755, whatever the umask; levels that exist are left as they are.
# Sets var to the directory, taken under the prefix unless it is absolute.
function(lapsero_under_prefix var directory)
  if(IS_ABSOLUTE "${directory}")
    set(${var} "${directory}" PARENT_SCOPE)
  else()
    set(${var} "${CMAKE_INSTALL_PREFIX}/${directory}" PARENT_SCOPE)
  endif()
endfunction()

function(lapsero_make_directory path)
  set(level "$ENV{DESTDIR}")
  string(REPLACE "/" ";" parts "${path}")
  foreach(part IN LISTS parts)
    if(part STREQUAL "")
      continue()
    endif()
    string(APPEND level "/${part}")
    if(NOT IS_DIRECTORY "${level}")
      file(MAKE_DIRECTORY "${level}")
      file(CHMOD "${level}" PERMISSIONS ${lapsero_dir_mode})
    endif()
  endforeach()
endfunction()

if(IS_ABSOLUTE "${LAPSERO_SBINDIR}")
  set(LAPSERO_PROGRAM "${LAPSERO_SBINDIR}/lapsero")
else()
  set(LAPSERO_PROGRAM "${CMAKE_INSTALL_PREFIX}/${LAPSERO_SBINDIR}/lapsero")
endif()

# The spool: mode 0755 and owned by root, also when it existed already.
lapsero_make_directory(/var/spool/lapsero)
file(CHMOD "$ENV{DESTDIR}/var/spool/lapsero" PERMISSIONS ${lapsero_dir_mode})
execute_process(COMMAND id -u OUTPUT_VARIABLE lapsero_uid OUTPUT_STRIP_TRAILING_WHITESPACE)
if(lapsero_uid STREQUAL "0")
  execute_process(COMMAND chown root:root "$ENV{DESTDIR}/var/spool/lapsero")
endif()

# The table is the administrator's once it exists: never replace it.
if(EXISTS "$ENV{DESTDIR}/etc/lapserotab" OR IS_SYMLINK "$ENV{DESTDIR}/etc/lapserotab")
  message(STATUS "Keeping: $ENV{DESTDIR}/etc/lapserotab")
else()
  lapsero_make_directory(/etc)
  file(INSTALL "${LAPSERO_SOURCE_DIR}/dist/lapserotab" DESTINATION /etc
    PERMISSIONS ${lapsero_file_mode})
endif()

# The units are configured whether or not they are installed: the manual
# points to a copy under the documentation directory, with this prefix's
# program path, for hosts that put them in place by hand.
configure_file("${LAPSERO_SOURCE_DIR}/dist/lapsero.service.in"
  "${LAPSERO_BINARY_DIR}/dist/lapsero.service" @ONLY)
lapsero_under_prefix(doc_dir "${LAPSERO_DOCDIR}")
lapsero_make_directory("${doc_dir}/examples")
file(INSTALL "${LAPSERO_BINARY_DIR}/dist/lapsero.service"
  "${LAPSERO_SOURCE_DIR}/dist/lapsero.timer"
  DESTINATION "${doc_dir}/examples" PERMISSIONS ${lapsero_file_mode})

if(LAPSERO_INSTALL_SYSTEMD)
  lapsero_under_prefix(unit_dir "${LAPSERO_UNIT_DIR}")
  lapsero_make_directory("${unit_dir}")
  file(INSTALL "${LAPSERO_BINARY_DIR}/dist/lapsero.service"
    "${LAPSERO_SOURCE_DIR}/dist/lapsero.timer"
    DESTINATION "${unit_dir}" PERMISSIONS ${lapsero_file_mode})
endif()

if(LAPSERO_INSTALL_CRON)
  configure_file("${LAPSERO_SOURCE_DIR}/dist/lapsero.cron.in"
    "${LAPSERO_BINARY_DIR}/dist/lapsero" @ONLY)
  lapsero_make_directory(/etc/cron.d)
  file(INSTALL "${LAPSERO_BINARY_DIR}/dist/lapsero" DESTINATION /etc/cron.d
    PERMISSIONS ${lapsero_file_mode})
endif()
