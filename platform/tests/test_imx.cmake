# Tests of the host camera, transforms, framebuffer sink, encoders, overlay, the mrvac tool and
# audio capture without a sound card. Included from this folder's CMakeLists.txt.
include(GoogleTest)
if(NOT DEFINED MRVDC_PLATFORM_TEST_ENV)
    set(MRVDC_PLATFORM_TEST_ENV
        "GST_PLUGIN_PATH=${CMAKE_BINARY_DIR}/platform/gst"
        "GST_REGISTRY=${CMAKE_CURRENT_BINARY_DIR}/gst-registry.bin")
endif()
set(MRVDC_REPO_DIR ${CMAKE_CURRENT_SOURCE_DIR}/../..)

# test_overlay checks the cairo overlay; the Qt one has test_qt_overlay.
set(MRVDC_OVERLAY_SUITE test_overlay)
if(MRVDC_QT_OVERLAY)
    set(MRVDC_OVERLAY_SUITE test_qt_overlay)
endif()
foreach(suite test_imx_camera test_imx_encoders ${MRVDC_OVERLAY_SUITE})
    add_executable(${suite} ${suite}.cpp)
    target_link_libraries(${suite} PRIVATE PkgConfig::GST GTest::gtest)
    target_compile_definitions(${suite} PRIVATE MRVAC="${MRVDC_REPO_DIR}/platform/mrvac/mrvac")
    add_dependencies(${suite} gstimxhost gstqtoverlayhost)
endforeach()
gtest_discover_tests(test_imx_camera TEST_PREFIX "imx."
    PROPERTIES LABELS platform ENVIRONMENT "${MRVDC_PLATFORM_TEST_ENV}" TIMEOUT 60)
gtest_discover_tests(test_imx_encoders TEST_PREFIX "imx."
    PROPERTIES LABELS platform ENVIRONMENT "${MRVDC_PLATFORM_TEST_ENV}" TIMEOUT 120)
if(MRVDC_QT_OVERLAY)
    # Through scripts/host-run, which starts the X server the overlay renders with.
    target_link_libraries(test_qt_overlay PRIVATE qtoverlay_parts)
    target_compile_definitions(test_qt_overlay PRIVATE MRVDC_REPO="${MRVDC_REPO_DIR}")
    add_test(NAME overlay.qt_overlay_with_the_sights_document
        COMMAND ${MRVDC_REPO_DIR}/scripts/host-run $<TARGET_FILE:test_qt_overlay>)
    set_tests_properties(overlay.qt_overlay_with_the_sights_document PROPERTIES
        LABELS platform TIMEOUT 120
        ENVIRONMENT "MRVDC_BUILD_DIR=${CMAKE_BINARY_DIR};MRVDC_SYSROOT=${CMAKE_CURRENT_BINARY_DIR}/sysroot-qt-overlay")
else()
    gtest_discover_tests(test_overlay TEST_PREFIX "overlay."
        PROPERTIES LABELS platform ENVIRONMENT "${MRVDC_PLATFORM_TEST_ENV}" TIMEOUT 60)
endif()

add_test(NAME mrvac.commands_log_state_and_failures
    COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/test_mrvac.sh ${MRVDC_REPO_DIR}/platform/mrvac/mrvac)
set_tests_properties(mrvac.commands_log_state_and_failures PROPERTIES LABELS platform TIMEOUT 60)

# Through scripts/host-run, which starts the JACK server that "hw:0,0" captures from.
add_test(NAME audio.capture_without_sound_card_is_paced
    COMMAND ${MRVDC_REPO_DIR}/scripts/host-run bash ${CMAKE_CURRENT_SOURCE_DIR}/test_audio.sh)
set_tests_properties(audio.capture_without_sound_card_is_paced PROPERTIES
    LABELS platform TIMEOUT 90
    ENVIRONMENT "MRVDC_BUILD_DIR=${CMAKE_BINARY_DIR};MRVDC_SYSROOT=${CMAKE_CURRENT_BINARY_DIR}/sysroot-audio")
