# Run by cpack after the package is built (CPACK_POST_BUILD_SCRIPTS). CPack gives any package with
# a library under /usr/lib a postinst and a postrm that call ldconfig; ours is private to the
# programs (lib/folioxa, found through their RUNPATH), so ldconfig has nothing to do for it
# (lintian: maintscript-calls-ldconfig), and the postrm alone makes dpkg keep a removed package
# in state "rc". The package is rebuilt without the two scripts; it has no other.
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
    if(NOT deb MATCHES "\\.deb$")
        continue()
    endif()
    set(tree ${deb}.tree)
    file(REMOVE_RECURSE ${tree})
    execute_process(COMMAND dpkg-deb --raw-extract ${deb} ${tree} COMMAND_ERROR_IS_FATAL ANY)
    file(REMOVE ${tree}/DEBIAN/postinst ${tree}/DEBIAN/postrm)
    execute_process(COMMAND dpkg-deb --root-owner-group -Zxz --build ${tree} ${deb}
                    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
    file(REMOVE_RECURSE ${tree})
endforeach()
