# `cpack -G DEB` (or the `package` target): one package with the viewer,
# the libraries, their headers and both package files, installed under
# /usr. Its dependencies come from dpkg-shlibdeps over the packaged
# binaries, so Xerces-C++, Xalan-C++ (both linked by the DOM library) and
# Qt 6 are named with the versions this build needs.
set(CPACK_PACKAGE_NAME xmlviewer)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION}.0)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Viewer for XML files, and the XML document library it is built on")
set(CPACK_PACKAGE_CONTACT "XML Viewer maintainers <maintainers@xmlviewer.invalid>")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION text)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# A shlibs file and the ldconfig trigger for the shared libraries.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
include(CPack)
