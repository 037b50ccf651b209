# What `cmake --install` puts under the prefix: the viewer with its manual
# page and desktop entry, the three libraries a program links (rtl, dom,
# xml) with their headers, the DOM library the Xerces vendor loads at run
# time, a CMake package (XMLViewer:: targets) and a pkg-config file.
# Included from the top after the targets. Every rule names the component
# (the Debian package, see DebianPackage.cmake) its files belong to: `lib`
# the run-time libraries, `dev` what building against them needs, `viewer`
# the program.
#
# The libraries are shared with sonames: the vendor registry and the one
# Xerces vendor are process-wide, which only holds when every module of a
# program shares one copy; and the DOM library, opened by its plain name,
# is found through the run path of libxmlviewer-dom, which holds $ORIGIN,
# so it is found beside that library from any program at any prefix.
include(CMakePackageConfigHelpers)

# xmlviewer_gzip(SOURCE OUTPUT): OUTPUT made from SOURCE with `gzip -9n` at
# configure time, and again whenever SOURCE changes.
find_program(XMLVIEWER_GZIP gzip REQUIRED)
function(xmlviewer_gzip source output)
  get_filename_component(dir ${output} DIRECTORY)
  file(MAKE_DIRECTORY ${dir})
  execute_process(COMMAND ${XMLVIEWER_GZIP} -9nc INPUT_FILE ${source} OUTPUT_FILE ${output}
    RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "gzip ${source}: ${failed}")
  endif()
  set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
endfunction()

set(XMLVIEWER_LIBRARIES rtl dom xml)
foreach(lib ${XMLVIEWER_LIBRARIES})
  set_target_properties(${lib} PROPERTIES
    OUTPUT_NAME xmlviewer-${lib}
    VERSION ${PROJECT_VERSION}.0
    SOVERSION ${PROJECT_VERSION_MAJOR}
    INSTALL_RPATH "$ORIGIN")
  # Calls inside one library stay direct and inlinable, as they were when
  # the code was linked statically; nobody interposes these symbols.
  if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
    target_compile_options(${lib} PRIVATE -fno-semantic-interposition)
  endif()
endforeach()
# The headers use C++20; consumers compile with it too.
target_compile_features(rtl_headers INTERFACE cxx_std_20)

install(TARGETS rtl_headers ${XMLVIEWER_LIBRARIES} EXPORT XMLViewerTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT lib NAMELINK_COMPONENT dev)
# Loaded by name, never linked: no development link.
install(TARGETS xercesxmldom LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT lib NAMELINK_SKIP)

foreach(dir rtl dom xml)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/${dir}/ DESTINATION ${XMLVIEWER_INSTALL_INCLUDEDIR}/${dir}
    COMPONENT dev FILES_MATCHING PATTERN "*.h")
endforeach()

if(TARGET xmlviewer)
  file(RELATIVE_PATH bin_to_lib ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
  set_target_properties(xmlviewer PROPERTIES INSTALL_RPATH "$ORIGIN/${bin_to_lib}")
  install(TARGETS xmlviewer RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT viewer)
  # The manual page compressed as man reads it and Debian ships it (best
  # compression, no name or time stamp, so every build makes the same file).
  xmlviewer_gzip(${PROJECT_SOURCE_DIR}/packaging/xmlviewer.1 ${CMAKE_BINARY_DIR}/package/xmlviewer.1.gz)
  install(FILES ${CMAKE_BINARY_DIR}/package/xmlviewer.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
    COMPONENT viewer)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/xmlviewer.desktop
    DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT viewer)
endif()

# CMake package: find_package(XMLViewer CONFIG REQUIRED).
set(cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/XMLViewer)
install(EXPORT XMLViewerTargets NAMESPACE XMLViewer:: DESTINATION ${cmake_dir} COMPONENT dev)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/XMLViewerConfig.cmake.in
  ${CMAKE_BINARY_DIR}/package/XMLViewerConfig.cmake INSTALL_DESTINATION ${cmake_dir})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/package/XMLViewerConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/package/XMLViewerConfig.cmake
  ${CMAKE_BINARY_DIR}/package/XMLViewerConfigVersion.cmake DESTINATION ${cmake_dir} COMPONENT dev)

# pkg-config: paths relative to the file, so any install prefix works.
set(pc_dir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH pc_to_prefix ${CMAKE_INSTALL_PREFIX}/${pc_dir} ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" pc_to_prefix "${pc_to_prefix}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/xmlviewer.pc.in ${CMAKE_BINARY_DIR}/package/xmlviewer.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/package/xmlviewer.pc DESTINATION ${pc_dir} COMPONENT dev)
