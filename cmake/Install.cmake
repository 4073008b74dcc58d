# Install rules and packaging: the shared library with a versioned soname, the public headers under
# include/kvaaudioplayer/, a pkg-config file, a CMake package and kvaplay; cpack makes a .deb.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# The header states the version a host compiles against; it must be the project's.
file(STRINGS ${CMAKE_CURRENT_SOURCE_DIR}/include/KvaAudioPlayer.h KVA_HEADER_VERSION
  REGEX "^#define KVA_AUDIOPLAYER_VERSION_(MAJOR|MINOR|PATCH) ")
string(REGEX REPLACE "[^;]*VERSION_[A-Z]+ ([0-9]+)" "\\1" KVA_HEADER_VERSION "${KVA_HEADER_VERSION}")
string(REPLACE ";" "." KVA_HEADER_VERSION "${KVA_HEADER_VERSION}")
if(NOT KVA_HEADER_VERSION STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "KvaAudioPlayer.h says ${KVA_HEADER_VERSION}, the project ${PROJECT_VERSION}")
endif()

set_target_properties(kvaaudioplayer PROPERTIES
  VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
target_include_directories(kvaaudioplayer INTERFACE
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/kvaaudioplayer>)

install(TARGETS kvaaudioplayer EXPORT KvaAudioPlayerTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
file(GLOB KVA_PUBLIC_HEADERS CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/include/*.h)
install(FILES ${KVA_PUBLIC_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kvaaudioplayer)

# kvaplay finds the library beside it also in a private prefix.
set_target_properties(kvaplay PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
install(TARGETS kvaplay RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The .pc file finds its prefix from where it lies, so that `cmake --install --prefix P` works
# for any P chosen after configuring.
string(REGEX REPLACE "[^/]+" ".." KVA_PC_UP "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/cmake/kvaaudioplayer.pc.in
  ${CMAKE_CURRENT_BINARY_DIR}/kvaaudioplayer.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kvaaudioplayer.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

set(KVA_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/KvaAudioPlayer)
install(EXPORT KvaAudioPlayerTargets NAMESPACE KvaAudioPlayer:: DESTINATION ${KVA_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_SOURCE_DIR}/cmake/KvaAudioPlayerConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/KvaAudioPlayerConfig.cmake INSTALL_DESTINATION ${KVA_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/KvaAudioPlayerConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/KvaAudioPlayerConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/KvaAudioPlayerConfigVersion.cmake DESTINATION ${KVA_CMAKE_DIR})

set(KVA_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/kvaaudioplayer)
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/README.md DESTINATION ${KVA_DOC_DIR})
install(DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/docs/ ${CMAKE_CURRENT_SOURCE_DIR}/examples
  DESTINATION ${KVA_DOC_DIR} OPTIONAL)

# One package: the library, its headers and build files, and kvaplay to try it with.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kvaaudioplayer)
set(CPACK_PACKAGE_VENDOR "KvaAudioPlayer developers")
set(CPACK_PACKAGE_CONTACT "KvaAudioPlayer developers <kvaaudioplayer@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "audio playback engine: local files and HTTP media, gapless, cross-fade, device hot-plug")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
# Depends is computed from the libraries the binaries link (FFmpeg, libpulse, OpenSSL); the
# time-stretch opens libavfilter at run time, so it is named by hand.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# A shlibs file for packages built on this one, and ldconfig run when it is installed.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
string(REGEX MATCH "^[0-9]+" KVA_AVFILTER_MAJOR "${AVFILTER_VERSION}")
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libavfilter${KVA_AVFILTER_MAJOR}")
# Without a sound server the library plays to its virtual output; with one it is heard.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "pulseaudio | pipewire-pulse")
include(CPack)
