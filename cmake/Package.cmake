# What `cmake --install` puts in place besides the programs (man pages, bash
# completion), and the Debian package CPack builds from it (scripts/package).
include(GNUInstallDirs)

# Installing (and packaging) takes the programs as built; it does not build
# every target (tests, benchmarks) first. scripts/package builds the two.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

install(FILES ${CMAKE_SOURCE_DIR}/resources/man/flashkeel.1 ${CMAKE_SOURCE_DIR}/resources/man/flashkeel-cli.1
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_SOURCE_DIR}/resources/completion/flashkeel-cli
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME flashkeel)
set(CPACK_PACKAGE_VENDOR Flashkeel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Makes a USB drive or disk image boot the Clover EFI bootloader")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "Flashkeel clears a USB flash drive or a disk image, writes a new MBR with one or two partitions,\n"
  "formats the first one and writes Clover, FreeDOS or Windows boot records and the Clover files.\n"
  "It also saves and restores partitions, downloads Clover and macOS Recovery HD images, and\n"
  "installs read support for HFS+ volumes. Qt 6 window (flashkeel) and command line (flashkeel-cli).")
set(CPACK_PACKAGE_CONTACT "Flashkeel developers <flashkeel@users.noreply.github.com>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://flashkeel.github.io/")
# Runtime libraries (Debian 12 names) and the tools the program runs.
set(FK_DEB_LIBS
    "libc6, libstdc++6, libarchive13, liblzma5, zlib1g, libexpat1, libpcre2-8-0, libcurl4, libblkid1, libsystemd0")
set(FK_DEB_QT "libqt6core6, libqt6gui6, libqt6widgets6, libqt6dbus6, qt6-qpa-plugins")
set(FK_DEB_TOOLS
    "dosfstools, exfatprogs, exfat-fuse, fuse3, ntfs-3g, udftools, mtools, 7zip, kmod, util-linux, pkexec | policykit-1")
set(CPACK_DEBIAN_PACKAGE_DEPENDS "${FK_DEB_LIBS}, ${FK_DEB_QT}, ${FK_DEB_TOOLS}")
include(CPack)
