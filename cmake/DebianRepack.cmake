# Run by cpack after the packages are built (CPACK_POST_BUILD_SCRIPTS).
# CPack adds a postinst and a postrm that call ldconfig to every package
# with a library under /usr/lib, and has no setting to leave them out;
# Debian runs ldconfig through the trigger the library package declares
# instead. Those two scripts, and only when they are CPack's own, are taken
# out of the package again; nothing else in it changes.
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  if(NOT deb MATCHES "\\.deb$")
    continue()
  endif()
  set(tree ${deb}.tree)
  file(REMOVE_RECURSE ${tree})
  execute_process(COMMAND dpkg-deb --raw-extract ${deb} ${tree} RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "dpkg-deb --raw-extract ${deb} failed")
  endif()
  set(changed FALSE)
  foreach(script postinst postrm)
    set(path ${tree}/DEBIAN/${script})
    if(EXISTS ${path})
      file(READ ${path} text)
      if(text MATCHES "^#!/bin/sh\n\nset -e\n\nif \\[ \"\\$1\" = \"[a-z]+\" \\]; then\n\tldconfig\nfi\n$")
        file(REMOVE ${path})
        set(changed TRUE)
      endif()
    endif()
  endforeach()
  if(changed)
    execute_process(COMMAND dpkg-deb --root-owner-group --build ${tree} ${deb}
      OUTPUT_QUIET RESULT_VARIABLE failed)
    if(failed)
      message(FATAL_ERROR "dpkg-deb --build ${tree} failed")
    endif()
  endif()
  file(REMOVE_RECURSE ${tree})
endforeach()
