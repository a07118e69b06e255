# What `cmake --install` and `cpack -G DEB` put on a machine: the shared
# libraries, xrfresults with its configuration and samples, the headers a host
# compiles against, and the CMake package XrfResultManager.
include(CMakePackageConfigHelpers)

set(XRF_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/XrfResultManager)
set(XRF_LIBRARIES XrfCommon XrfServices XrfReports ResultManager)

# Below 1.0 a minor version may change the ABI, so it is part of the soname.
# Installed, each library finds the others beside it and xrfresults finds
# them from bin/, wherever the prefix is.
file(RELATIVE_PATH _xrfBinToLib ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
set_target_properties(${XRF_LIBRARIES} PROPERTIES
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}
    INSTALL_RPATH "$ORIGIN")
set_target_properties(ResultManager PROPERTIES EXPORT_NAME XrfResultManager)
set_target_properties(xrfresults PROPERTIES INSTALL_RPATH "$ORIGIN/${_xrfBinToLib}")

install(TARGETS ${XRF_LIBRARIES} EXPORT XrfResultManagerTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS xrfresults RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY config/ DESTINATION ${XRF_INSTALL_SHAREDIR}/config)
install(DIRECTORY samples/ DESTINATION ${XRF_INSTALL_SHAREDIR}/samples)

# What a host compiles against, and nothing else (xrfresults does): the
# facade, the queue, the readers (results for a viewer's threads, batches for
# a push), the two file formats a host meets (the results file's tables,
# resultschema.h; the queue files' names, queuefilename.h), what their
# headers include, and the platform services a host calls; none of the
# libraries' insides.
install(FILES
    ResultManager/src/resultmanager.h
    ResultManager/src/resultmanager_global.h
    ResultManager/src/xrfresultqueue.h
    ResultManager/src/xrfresultreader.h
    ResultManager/src/xrfresultbatches.h
    ResultManager/src/xrfcommandids.h
    ResultManager/src/schema/resultschema.h
    ResultManager/src/queue/queuefilename.h
    XrfCommon/xrfutils.h
    XrfCommon/xrfplatform.h
    XrfCommon/xrfmethoddisplaysettings.h
    XrfServices/xrfmethodmanager.h
    XrfServices/xrfsettingsmanager.h
    XrfReports/reportapplication.h
    XrfReports/beamplot.h
    XrfReports/xrfreports_global.h
    XrfCommon/xrfactionlevelresult.h
    XrfCommon/xrfanalysisresult.h
    XrfCommon/xrfaverageinfo.h
    XrfCommon/xrfcalcheckresult.h
    XrfCommon/xrfchemistryresult.h
    XrfCommon/xrfcoatingresult.h
    XrfCommon/xrfcommon_global.h
    XrfCommon/xrfcompoundresult.h
    XrfCommon/xrfdriftcorrection.h
    XrfCommon/xrferrorinfo.h
    XrfCommon/xrffields.h
    XrfCommon/xrffilterproperties.h
    XrfCommon/xrfgradematch.h
    XrfCommon/xrfgradematchspec.h
    XrfCommon/xrfimageinfo.h
    XrfCommon/xrfjsonmessage.h
    XrfCommon/xrfkorviresult.h
    XrfCommon/xrfpseudoelementresult.h
    XrfCommon/xrfregressioninfo.h
    XrfCommon/xrfspectrum.h
    XrfCommon/xrfuserfactorresult.h
    XrfServices/xrfservices.h
    XrfServices/xrfservices_global.h
    DESTINATION ${XRF_INSTALL_INCLUDEDIR})

install(EXPORT XrfResultManagerTargets NAMESPACE XrfResultManager::
        DESTINATION ${XRF_INSTALL_CMAKEDIR})
configure_package_config_file(cmake/XrfResultManagerConfig.cmake.in
    ${CMAKE_CURRENT_BINARY_DIR}/XrfResultManagerConfig.cmake
    INSTALL_DESTINATION ${XRF_INSTALL_CMAKEDIR}
    PATH_VARS XRF_INSTALL_SHAREDIR)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/XrfResultManagerConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/XrfResultManagerConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/XrfResultManagerConfigVersion.cmake
        DESTINATION ${XRF_INSTALL_CMAKEDIR})

# One Debian package of all of it.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME xrfresultmanager)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Result manager of an XRF analyser: library, headers and the xrfresults host")
set(CPACK_PACKAGE_CONTACT "XRF result manager developers <xrf-results@localhost>")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_LIBRARY_OUTPUT_DIRECTORY})
# Loaded at run time, so no linker sees them: the SQLite driver of QtSql, the
# fonts of the PDF reports (without the CJK one Chinese, Japanese and Korean
# print as marks) and the PostgreSQL driver of xrfresults push.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt5sql5-sqlite, fonts-dejavu-core, fonts-wqy-microhei")
# The viewer's plots are dygraphs, read from where that package installs it.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libqt5sql5-psql, libjs-dygraphs")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "qtbase5-dev, cmake")
set(CPACK_STRIP_FILES ON)
include(CPack)
