# libelq: the C interface of include/elq/elq.h over the same objects as the program, as a shared
# library (libelq.so.1, only the elq_ functions exported) and a static one (libelq.a); their
# installation with the program, the header, a pkg-config file, a CMake package and the man page;
# the GStreamer plugin where GStreamer's development files are found; the interface's tests.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)
enable_language(C)
set(CMAKE_C_STANDARD 99)
set(CMAKE_C_STANDARD_REQUIRED ON)
set(CMAKE_C_VISIBILITY_PRESET hidden)

set(ELQ_EXPORTS ${CMAKE_SOURCE_DIR}/src/api/exports.map)
add_library(elq_shared SHARED $<TARGET_OBJECTS:elqobjects>)
target_link_libraries(elq_shared PRIVATE Threads::Threads)
target_link_options(elq_shared PRIVATE -Wl,--version-script=${ELQ_EXPORTS})
if(NOT ELQ_SANITIZE AND NOT ELQ_FUZZ)
    # Sanitizer runtimes are the executable's: only a plain library resolves every symbol itself.
    target_link_options(elq_shared PRIVATE -Wl,--no-undefined)
endif()
set_target_properties(elq_shared PROPERTIES OUTPUT_NAME elq EXPORT_NAME elq VERSION ${PROJECT_VERSION}
                                            SOVERSION ${PROJECT_VERSION_MAJOR} LINK_DEPENDS ${ELQ_EXPORTS})
add_library(elq_static STATIC $<TARGET_OBJECTS:elqobjects>)
target_link_libraries(elq_static INTERFACE Threads::Threads)
set_target_properties(elq_static PROPERTIES OUTPUT_NAME elq EXPORT_NAME elq_static)
foreach(library elq_shared elq_static)
    target_include_directories(${library} INTERFACE $<BUILD_INTERFACE:${CMAKE_SOURCE_DIR}/include>
                                                    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
endforeach()

install(TARGETS elq RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS elq_shared elq_static EXPORT elqTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${CMAKE_SOURCE_DIR}/include/elq/elq.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/elq)
install(FILES ${CMAKE_SOURCE_DIR}/doc/elq.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# The pkg-config file finds the prefix from its own place, wherever the tree is installed.
file(RELATIVE_PATH ELQ_PC_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(${CMAKE_SOURCE_DIR}/cmake/elq.pc.in ${CMAKE_BINARY_DIR}/elq.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/elq.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
set(ELQ_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/elq)
install(EXPORT elqTargets NAMESPACE elq:: DESTINATION ${ELQ_CMAKE_DIR})
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/elqConfig.cmake.in ${CMAKE_BINARY_DIR}/elqConfig.cmake
                              INSTALL_DESTINATION ${ELQ_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/elqConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/elqConfig.cmake ${CMAKE_BINARY_DIR}/elqConfigVersion.cmake
        DESTINATION ${ELQ_CMAKE_DIR})

# The GStreamer plugin: a typefinder and the elqdec element, over the shared library. Sanitized
# and fuzzing builds leave it out: the tools that load it are not instrumented.
find_package(PkgConfig QUIET)
if(PkgConfig_FOUND AND NOT ELQ_SANITIZE AND NOT ELQ_FUZZ)
    pkg_check_modules(GST QUIET IMPORTED_TARGET gstreamer-1.0>=1.20 gstreamer-base-1.0 gstreamer-audio-1.0)
endif()
option(ELQ_GSTREAMER "Build the GStreamer plugin where GStreamer's development files are found" ON)
if(ELQ_GSTREAMER AND GST_FOUND)
    add_library(gstelq MODULE src/gstreamer/gstelq.c)
    target_link_libraries(gstelq PRIVATE elq_shared PkgConfig::GST)
    target_compile_definitions(gstelq PRIVATE ELQ_PLUGIN_VERSION="${PROJECT_VERSION}" PACKAGE="elq")
    # GStreamer's own plugin macro leaves its padding to the compiler.
    target_compile_options(gstelq PRIVATE -Wno-missing-field-initializers)
    # A folder of its own, so that GST_PLUGIN_PATH finds nothing else there; installed beside
    # GStreamer's plugins, it finds libelq one folder up.
    set_target_properties(gstelq PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/gstreamer
                                            INSTALL_RPATH "$ORIGIN/..")
    install(TARGETS gstelq LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/gstreamer-1.0)
    if(ELQ_TESTS)
        pkg_check_modules(GSTAPP QUIET IMPORTED_TARGET gstreamer-app-1.0)
        if(GSTAPP_FOUND)
            add_executable(gst_seek_check tests/gstreamer/gst_seek_check.c)
            target_link_libraries(gst_seek_check PRIVATE PkgConfig::GSTAPP PkgConfig::GST)
        endif()
    endif()
endif()

if(ELQ_TESTS)
    file(GLOB api_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/api/*.cpp)
    add_executable(test_api ${api_sources})
    target_link_libraries(test_api PRIVATE elq_shared GTest::gtest GTest::gtest_main)
    target_include_directories(test_api PRIVATE ${CMAKE_SOURCE_DIR}/tests)
    target_compile_definitions(test_api PRIVATE ELQ_BINARY="$<TARGET_FILE:elq>" ELQ_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
    add_dependencies(test_api elq)
    gtest_discover_tests(test_api DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 600)
endif()
