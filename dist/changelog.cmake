# Runs in CPack between staging and packaging: writes the changelog.gz that
# Debian wants in a native package's doc directory. Its one entry carries the
# package's version, which comes from project() (or from cpack -D
# CPACK_PACKAGE_VERSION=...), so that the version is written only once.
# The date honours SOURCE_DATE_EPOCH, as every date in a reproducible build.

set(doc_dir
  "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}/share/doc/${CPACK_PACKAGE_NAME}")
if(NOT IS_DIRECTORY "${doc_dir}")
  message(FATAL_ERROR "The install rules made no ${doc_dir}")
endif()
if(CPACK_DEBIAN_PACKAGE_VERSION)
  set(version "${CPACK_DEBIAN_PACKAGE_VERSION}")
else()
  set(version "${CPACK_PACKAGE_VERSION}")
endif()
if(CPACK_DEBIAN_PACKAGE_MAINTAINER)
  set(maintainer "${CPACK_DEBIAN_PACKAGE_MAINTAINER}")
else()
  set(maintainer "${CPACK_PACKAGE_CONTACT}")
endif()
string(TIMESTAMP date "%a, %d %b %Y %H:%M:%S +0000" UTC)

file(WRITE "${doc_dir}/changelog"
"${CPACK_PACKAGE_NAME} (${version}) unstable; urgency=medium

  * Version ${version}, packaged from the lapsero source tree.

 -- ${maintainer}  ${date}
")
execute_process(COMMAND gzip -9nf "${doc_dir}/changelog" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "gzip failed on ${doc_dir}/changelog")
endif()
file(CHMOD "${doc_dir}/changelog.gz" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
