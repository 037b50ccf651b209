# `cpack -G DEB` (or the `package` target): three Debian packages, one per
# install component, written into the build folder's packages/:
#   libxmlviewer-xml1  (lib)    the shared libraries with their sonames
#   libxmlviewer-dev   (dev)    headers, .so links, CMake package, .pc file
#   xmlviewer          (viewer) the program, its manual page and menu entry
# The library package is named after the soname of the library programs
# link (libxmlviewer-xml.so.1 gives libxmlviewer-xml1); the dom and rtl
# libraries and the DOM library ride along in it because they change
# together and nothing uses one without the others.
#
# Dependencies on other packages come from dpkg-shlibdeps over the packaged
# binaries (Xerces-C++ and Xalan-C++ for the DOM library, Qt 6 for the
# viewer), on our own library package from the component dependencies,
# with its exact version.
set(CPACK_PACKAGE_NAME xmlviewer)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION}.0)
set(CPACK_PACKAGE_CONTACT "XML Viewer maintainers <maintainers@xmlviewer.invalid>")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL lib dev)
if(TARGET xmlviewer)
  list(APPEND CPACK_COMPONENTS_ALL viewer)
endif()
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_COMPONENT_DEV_DEPENDS lib)
set(CPACK_COMPONENT_VIEWER_DEPENDS lib)

# The first packaging of this upstream version: changelog.Debian names it.
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SOURCE xmlviewer)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The viewer's libraries are in the lib package, not installed here: its
# dpkg-shlibdeps reads them from the build tree (our own package is named
# by the component dependency instead).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
  ${PROJECT_BINARY_DIR}/rtl ${PROJECT_BINARY_DIR}/dom ${PROJECT_BINARY_DIR}/xml)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

set(CPACK_DEBIAN_LIB_PACKAGE_NAME libxmlviewer-xml1)
set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIB_DESCRIPTION "XML document library with a DOM over Xerces-C++
The XML document layer (load, edit, save and transform documents through
document, node and node list interfaces), the DOM layer with its registry
of DOM vendors, and the runtime they share.
.
The DOM vendor Xerces XML loads libxercesxmldom.so.1, also in this
package, at run time: the DOM over Xerces-C++, with Xalan-C++ for
transforms.")
# ldconfig runs once per dpkg run through the trigger; CPack's own
# maintainer scripts that call it are dropped (DebianRepack.cmake).
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/triggers)
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/DebianRepack.cmake)

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libxmlviewer-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_DESCRIPTION "XML document library with a DOM over Xerces-C++ (development files)
Headers (C++20), the links to the shared libraries, a CMake package
(find_package(XMLViewer) and the XMLViewer::xml target) and a pkg-config
file (xmlviewer) for building programs with the XML document library.")

set(CPACK_DEBIAN_VIEWER_PACKAGE_NAME xmlviewer)
set(CPACK_DEBIAN_VIEWER_PACKAGE_SECTION text)
set(CPACK_DEBIAN_VIEWER_DESCRIPTION "desktop viewer for XML files
Shows an XML file as a tree, one item for the file, the root element and
every node below it, each with an icon for its kind, and counts the
elements, texts, attributes and values it found. Large files load with the
window kept responsive; a load can be cancelled.")

# Each package carries the copyright file and the Debian changelog in its
# documentation folder, and its lintian overrides with their reasons. Only
# in the packages: a plain `cmake --install` leaves them out.
xmlviewer_gzip(${PROJECT_SOURCE_DIR}/packaging/changelog.Debian ${PROJECT_BINARY_DIR}/package/changelog.Debian.gz)
file(READ ${PROJECT_SOURCE_DIR}/packaging/lintian-overrides overrides)
file(READ ${PROJECT_SOURCE_DIR}/packaging/lintian-overrides-lib lib_overrides)
foreach(component IN LISTS CPACK_COMPONENTS_ALL)
  string(TOUPPER ${component} upper)
  set(package ${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${PROJECT_BINARY_DIR}/package/changelog.Debian.gz
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component} EXCLUDE_FROM_ALL)
  set(text "${overrides}")
  if(component STREQUAL lib)
    string(APPEND text "${lib_overrides}")
  endif()
  file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/package/lintian/${package} CONTENT "${text}" @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/package/lintian/${package}
    DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()
set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/packaging/lintian-overrides ${PROJECT_SOURCE_DIR}/packaging/lintian-overrides-lib)

include(CPack)
