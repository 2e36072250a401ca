# What `cmake --install` puts under the prefix, and the Debian package CPack makes of it
# (`cpack -G DEB` in the release build). The tree is relocatable: the executable and the Python
# module find the host library through $ORIGIN run paths, and the plug-in and the sample relative
# to themselves.
#
#   bin/veldmap, bin/veldmap-dask
#   lib/veldmap/libveldmap_host.so, lib/veldmap/plugins/Veldmap.dlt
#   lib/python3/dist-packages/veldmap.*.so, veldmap.pyi, veldmap_dask.py
#   share/veldmap/samples/hills.obj, share/doc/veldmap/, share/man/man1/veldmap.1,
#   share/bash-completion/completions/veldmap
if(NOT VELDMAP_BUILD_APP OR WIN32)
  return()
endif()

install(TARGETS veldmap RUNTIME DESTINATION bin)
set_target_properties(veldmap PROPERTIES INSTALL_RPATH "$ORIGIN/../lib/veldmap")
install(TARGETS veldmap_host LIBRARY DESTINATION lib/veldmap)
install(TARGETS veldmap_module LIBRARY DESTINATION lib/veldmap/plugins)
install(FILES samples/hills.obj DESTINATION share/veldmap/samples)
install(FILES README.md docs/distributed.md docs/python.md docs/robustness.md DESTINATION share/doc/veldmap)
install(PROGRAMS python/veldmap-dask DESTINATION bin)
install(FILES python/veldmap_dask.py DESTINATION lib/python3/dist-packages)

# The manual page and the completion are printed by the program from its own option definitions.
set(veldmap_man ${CMAKE_BINARY_DIR}/veldmap.1)
set(veldmap_completion ${CMAKE_BINARY_DIR}/veldmap.bash)
add_custom_command(OUTPUT ${veldmap_man} ${veldmap_completion}
  COMMAND veldmap --help-man > ${veldmap_man}
  COMMAND veldmap --completion > ${veldmap_completion}
  DEPENDS veldmap
  COMMENT "Writing veldmap(1) and its bash completion from the program's options")
add_custom_target(veldmap_docs ALL DEPENDS ${veldmap_man} ${veldmap_completion})
install(FILES ${veldmap_man} DESTINATION share/man/man1)
install(FILES ${veldmap_completion} DESTINATION share/bash-completion/completions RENAME veldmap)

set(CPACK_PACKAGE_NAME veldmap)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Veldmap")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "mesh height as a texture map: height, colour and normal maps from meshes")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "Veldmap renders the height of a triangle mesh seen from above into height, colour, alpha and normal maps, "
  "through its plug-in module and a stand-in of its host application: the veldmap command line, veldmap studio "
  "(the map's material editor in a browser), the Python module (import veldmap) and veldmap-dask for bakes on a "
  "Dask cluster.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Veldmap developers <veldmap@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://localhost/veldmap")
# The libraries' packages are found from the binaries; the host library is the package's own.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/host)
# The Python module needs NumPy; veldmap-dask needs Dask distributed, which not everyone wants.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "python3, python3-numpy")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "python3-distributed")
include(CPack)
