# What `cmake --install` puts where, as a Linux desktop expects it: the monitor and its companion
# sender, the desktop entry, AppStream metainfo, hicolor icons, man pages and the licence.
include(GNUInstallDirs)

# The one reverse-DNS id of the desktop entry, the metainfo, the icon and the app's desktop file
# name (src/app/main.cpp).
set(TAMBLIN_APP_ID org.tamblin.Tamblin)

install(TARGETS tamblin tamblin-send RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES data/${TAMBLIN_APP_ID}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES data/${TAMBLIN_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tamblin)

# The icons are drawn from the window icon, so that there is one drawing to keep.
set(icon_drawing ${PROJECT_SOURCE_DIR}/src/windows/icons/tamblin.png)
set(icon_sizes 16 22 24 32 48 64 128 256)
set(icon_dir ${PROJECT_BINARY_DIR}/icons/hicolor)
set(icon_files ${icon_dir}/scalable/apps/${TAMBLIN_APP_ID}.svg)
install(FILES ${icon_dir}/scalable/apps/${TAMBLIN_APP_ID}.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
foreach(size ${icon_sizes})
    set(png ${icon_dir}/${size}x${size}/apps/${TAMBLIN_APP_ID}.png)
    list(APPEND icon_files ${png})
    install(FILES ${png} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
endforeach()
add_custom_command(OUTPUT ${icon_files}
    COMMAND tamblin-icons ${icon_drawing} ${TAMBLIN_APP_ID} ${icon_dir} ${icon_sizes}
    DEPENDS tamblin-icons ${icon_drawing}
    COMMENT "Drawing the desktop icons"
    VERBATIM)

# Man pages are installed compressed, as Debian does; -n leaves out the time, so that the same
# page always gives the same file.
find_program(GZIP gzip REQUIRED)
set(man_pages)
foreach(page tamblin.1 tamblin-send.1)
    set(compressed ${PROJECT_BINARY_DIR}/man/${page}.gz)
    add_custom_command(OUTPUT ${compressed}
        COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/docs/man/${page} ${PROJECT_BINARY_DIR}/man/${page}
        COMMAND ${GZIP} -9nf ${PROJECT_BINARY_DIR}/man/${page}
        DEPENDS ${PROJECT_SOURCE_DIR}/docs/man/${page}
        VERBATIM)
    list(APPEND man_pages ${compressed})
    install(FILES ${compressed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()

add_custom_target(desktop_files ALL DEPENDS ${icon_files} ${man_pages})
