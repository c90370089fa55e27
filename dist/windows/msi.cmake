# Builds the Windows Installer package from a built varnholt.exe with msitools' wixl:
#   cmake -D VERSION=1.0.0 -D EXE=varnholt.exe -D OUTPUT=varnholt.msi -P dist/windows/msi.cmake
# The upgrade code never changes: every version is the same product line. The product code
# follows from the version, so rebuilding one version gives the same product and each new
# version a new one, which replaces the installed one (a major upgrade).
set(upgrade_code 66D7378E-5615-482C-9A14-AC2989A06846)
string(UUID product_code NAMESPACE ${upgrade_code} NAME "Varnholt ${VERSION}" TYPE SHA1 UPPER)

find_program(WIXL wixl REQUIRED)
# wixl finds its sources only by paths relative to where it runs.
get_filename_component(output ${OUTPUT} ABSOLUTE)
get_filename_component(output_dir ${output} DIRECTORY)
get_filename_component(exe ${EXE} ABSOLUTE)
file(RELATIVE_PATH exe ${output_dir} ${exe})
file(RELATIVE_PATH icon ${output_dir} ${CMAKE_CURRENT_LIST_DIR}/../../res/varnholt.ico)
execute_process(
    COMMAND ${WIXL} --arch x64 -D Version=${VERSION} -D ProductCode=${product_code}
        -D UpgradeCode=${upgrade_code} -D Exe=${exe} -D Icon=${icon}
        -o ${output} ${CMAKE_CURRENT_LIST_DIR}/varnholt.wxs
    WORKING_DIRECTORY ${output_dir}
    RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "wixl could not build ${OUTPUT}")
endif()
