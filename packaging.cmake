# A Debian package of both programs and their boot files. Cross builds
# name the board's architecture, not the build machine's.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME corvane-board)
set(CPACK_PACKAGE_CONTACT "Corvane board team <board@corvane.invalid>")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
	"Board discovery responder (tarvo) and analog monitor reader (vomo)")
if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
	set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
endif()
if(NOT BOARD_STATIC_LINK)
	set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
	set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libgcc-s1")
endif()
include(CPack)
