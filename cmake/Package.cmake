# The Debian package ("cpack -G DEB" in a build folder): the program's files in a folder of their
# own under /usr/lib, a launcher on the PATH that runs them from each user's own program folder,
# and the desktop's files: the menu entry, the icon, the AppStream metainfo and our file types.
#
# These rules form the "deb" component, which "cmake --install" leaves out: a plain install keeps
# laying out the portable program folder.
set(KVR_APP_ID io.github.kvrsi.KVRSI)
set(KVR_PACKAGE_MAINTAINER "Kestrava Skin Installer developers <kvrsi@users.noreply.github.com>"
    CACHE STRING "The Maintainer field of the Debian package")

set(packaged COMPONENT deb EXCLUDE_FROM_ALL)
install(TARGETS kvrsi RUNTIME DESTINATION lib/kvrsi ${packaged})
install(TARGETS unzip32 LIBRARY DESTINATION lib/kvrsi ${packaged})
install(FILES src/app/readme.txt DESTINATION lib/kvrsi ${packaged})
install(FILES packaging/kvrsi.svg DESTINATION share/icons/hicolor/scalable/apps RENAME ${KVR_APP_ID}.svg ${packaged})
install(FILES packaging/${KVR_APP_ID}.desktop DESTINATION share/applications ${packaged})
install(FILES packaging/${KVR_APP_ID}.metainfo.xml DESTINATION share/metainfo ${packaged})
install(FILES packaging/${KVR_APP_ID}.mime.xml DESTINATION share/mime/packages RENAME ${KVR_APP_ID}.xml ${packaged})
install(FILES packaging/copyright DESTINATION share/doc/kvrsi ${packaged})

configure_file(packaging/changelog.in ${CMAKE_BINARY_DIR}/packaging/changelog @ONLY)
install(CODE "set(KVR_SOURCE_DIR \"${CMAKE_SOURCE_DIR}\")
    set(KVR_CHANGELOG \"${CMAKE_BINARY_DIR}/packaging/changelog\")
    set(KVR_VERSION \"${PROJECT_VERSION}\")" ${packaged})
install(CODE [[
    set(root "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
    # The launcher names the program's folder by its installed path.
    file(READ "${KVR_SOURCE_DIR}/packaging/kvrsi.in" launcher)
    string(REPLACE "@KVR_PACKAGE_LIBDIR@" "${CMAKE_INSTALL_PREFIX}/lib/kvrsi" launcher "${launcher}")
    file(WRITE "${root}/bin/kvrsi" "${launcher}")
    file(CHMOD "${root}/bin/kvrsi" FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
        GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    message(STATUS "Installing: ${root}/bin/kvrsi")
    # The stamp tells the launcher whether a user's copies are those of this build.
    set(identity "")
    foreach(name kvrsi libunzip32.so readme.txt)
        file(SHA256 "${root}/lib/kvrsi/${name}" hash)
        string(APPEND identity "${hash}")
    endforeach()
    string(SHA256 identity "${identity}")
    file(WRITE "${root}/lib/kvrsi/kvrsi.stamp" "${KVR_VERSION} ${identity}\n")
    file(MAKE_DIRECTORY "${root}/share/doc/kvrsi")
    execute_process(COMMAND gzip -9nc "${KVR_CHANGELOG}" OUTPUT_FILE "${root}/share/doc/kvrsi/changelog.gz"
        COMMAND_ERROR_IS_FATAL ANY)
]] ${packaged})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kvrsi)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${KVR_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "skin package manager for the aircraft of Kestrava")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "Keeps the skin packages of the 30 aircraft slots of the flight-simulation\n"
    "game Kestrava: pick the skin each aircraft wears, see its preview, install it\n"
    "into the game folder, import downloaded archives, undo any change and share\n"
    "loadouts.")
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};deb;/")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# "games" is for packages with a game in /usr/games; this one manages a game's files.
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Qt loads the display's platform plugin at run time; Qt's own packages only recommend it.
set(CPACK_DEBIAN_PACKAGE_DEPENDS qt6-qpa-plugins)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
