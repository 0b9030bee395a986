# The Debian package, built by `cpack -G DEB` from the install rules: what
# `cmake --install` puts in place is exactly what the package holds.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME lapsero)
set(CPACK_PACKAGE_VENDOR "the lapsero developers")
set(CPACK_PACKAGE_CONTACT "lapsero developers <lapsero-bugs@lists.lapsero.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "scheduler for periodic jobs counted in whole days")
set(CPACK_PACKAGE_DESCRIPTION
"lapsero runs the jobs of /etc/lapserotab whose period, in days, has passed
since the date in their stamp file, then exits. Started at boot and daily, it
catches up on the days that passed while the machine was off. Whatever a job
prints is mailed to MAILTO, or else to the user lapsero runs as; progress goes
to syslog. lapsero-status lists when each job last ran and is next due.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# libc6 and the C++ runtime, at the versions this build links against.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Job output is mailed through /usr/sbin/sendmail; without it, it is dropped.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "default-mta | mail-transport-agent")

# dpkg protects a changed conffile on upgrade and removes it only on purge;
# CPack lists none by itself.
set(lapsero_conffiles "/etc/lapserotab\n")
if(LAPSERO_INSTALL_CRON)
  string(APPEND lapsero_conffiles "/etc/cron.d/lapsero\n")
endif()
file(WRITE "${PROJECT_BINARY_DIR}/dist/conffiles" "${lapsero_conffiles}")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  "${PROJECT_BINARY_DIR}/dist/conffiles"
  "${PROJECT_SOURCE_DIR}/dist/debian/postinst"
  "${PROJECT_SOURCE_DIR}/dist/debian/prerm"
  "${PROJECT_SOURCE_DIR}/dist/debian/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)

# Manual pages are shipped compressed, as Debian expects, and a native package
# carries its changelog.gz.
set(CPACK_PRE_BUILD_SCRIPTS
  "${PROJECT_SOURCE_DIR}/dist/compress-manpages.cmake"
  "${PROJECT_SOURCE_DIR}/dist/changelog.cmake")

include(CPack)
