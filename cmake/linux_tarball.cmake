# Packs the static build's staged files into
# <CPACK_PACKAGE_FILE_NAME>.tar.gz, one folder of that name; run by
# `cpack -G External` (cmake/package.cmake). CPack's own TGZ generator stores
# the files in the order the file system lists the staging folder, which
# differs from one file system to another, and under the packing user's
# owner. GNU tar here sorts them by name, records owner and group 0, the
# usual modes whatever the umask and, with SOURCE_DATE_EPOCH set, that time;
# gzip -n leaves out a name and a time of its own. So the same files give
# the same bytes on any machine.
find_program(keyfolder_tar tar)
if(NOT keyfolder_tar)
  message(FATAL_ERROR "GNU tar is needed to pack the Linux tarball")
endif()
set(keyfolder_tar_time)
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(keyfolder_tar_time --mtime=@$ENV{SOURCE_DATE_EPOCH})
endif()
set(keyfolder_tarball "${CPACK_TOPLEVEL_DIRECTORY}/${CPACK_PACKAGE_FILE_NAME}.tar.gz")
get_filename_component(keyfolder_staged "${CPACK_TEMPORARY_DIRECTORY}" DIRECTORY)
execute_process(
  COMMAND ${keyfolder_tar} --create --file=${keyfolder_tarball} "--use-compress-program=gzip -9n"
    --format=gnu --sort=name --owner=0 --group=0 --numeric-owner --mode=u+rwX,go+rX,go-w
    ${keyfolder_tar_time} --directory=${keyfolder_staged} ${CPACK_PACKAGE_FILE_NAME}
  RESULT_VARIABLE keyfolder_tar_status)
if(NOT keyfolder_tar_status EQUAL 0)
  message(FATAL_ERROR "tar could not pack ${keyfolder_tarball}: ${keyfolder_tar_status}")
endif()
set(CPACK_EXTERNAL_BUILT_PACKAGES ${keyfolder_tarball})
