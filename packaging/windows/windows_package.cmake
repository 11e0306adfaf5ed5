# What Windows users get: both programs and a usage text of their own, in a
# ZIP made by `cmake --build build/windows --target package`, and in an MSI
# installer (torvex-1.0-win32.msi) built with the programs.
install(TARGETS torvex torvexsvc RUNTIME DESTINATION .)

# win32 for the reference 32-bit exe, win64 for the 64-bit one.
math(EXPR TORVEX_WORD_BITS "${CMAKE_SIZEOF_VOID_P} * 8")
set(TORVEX_PACKAGE torvex-${PROJECT_VERSION}-win${TORVEX_WORD_BITS})

# README.txt: plain text about Windows alone, naming this package's files.
file(READ ${CMAKE_CURRENT_LIST_DIR}/README.txt.in TORVEX_USAGE_TEXT)
string(CONFIGURE "${TORVEX_USAGE_TEXT}" TORVEX_USAGE_TEXT @ONLY)
# CR LF throughout, for the editors that Windows users open it with.
string(REPLACE "\n" "\r\n" TORVEX_USAGE_TEXT "${TORVEX_USAGE_TEXT}")
file(WRITE ${CMAKE_BINARY_DIR}/README.txt.new "${TORVEX_USAGE_TEXT}")
configure_file(${CMAKE_BINARY_DIR}/README.txt.new ${CMAKE_BINARY_DIR}/README.txt COPYONLY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/README.txt.in)
install(FILES ${CMAKE_BINARY_DIR}/README.txt DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME torvex)
set(CPACK_PACKAGE_FILE_NAME ${TORVEX_PACKAGE})
set(CPACK_STRIP_FILES ON)
include(CPack)

# The installer, made by wixl (Debian package wixl) where it is installed.
# torvex_msi(OUTPUT VERSION) packs the programs and README.txt as product
# version VERSION (three numbers); the tests make a later one to upgrade to.
find_program(TORVEX_WIXL wixl)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  # Each word size's components have GUIDs of their own: they install elsewhere.
  set(TORVEX_MSI_DEFINES -a x64 -D ProgramFiles=ProgramFiles64Folder -D Win64=yes
    -D ConsoleGuid=4B0E8C7A-1D2F-4E63-8A95-2C7B1E0F3D41
    -D ServiceGuid=7C3A9E51-2B4D-4F86-9E0A-5D1C8B2F6A73
    -D UsageGuid=1E5D7B93-6C0A-4A2E-B8F1-3F9C2D4E7A15)
else()
  set(TORVEX_MSI_DEFINES -a x86 -D ProgramFiles=ProgramFilesFolder -D Win64=no
    -D ConsoleGuid=9A4C2E71-5B3D-4D18-A6F0-7E2B1C9D3F58
    -D ServiceGuid=2D8F6B14-9C7E-4A53-B1D0-4E6A3F2C8B97
    -D UsageGuid=6F1A3D85-7E2C-4B96-8D4F-1C5E9A7B2D30)
endif()
set(TORVEX_MSI_FILES ${CMAKE_BINARY_DIR}/msi-files)
add_custom_command(OUTPUT ${TORVEX_MSI_FILES}/torvex.exe ${TORVEX_MSI_FILES}/torvexsvc.exe
    ${TORVEX_MSI_FILES}/README.txt
  COMMAND ${CMAKE_COMMAND} -E make_directory ${TORVEX_MSI_FILES}
  COMMAND ${CMAKE_STRIP} -o ${TORVEX_MSI_FILES}/torvex.exe $<TARGET_FILE:torvex>
  COMMAND ${CMAKE_STRIP} -o ${TORVEX_MSI_FILES}/torvexsvc.exe $<TARGET_FILE:torvexsvc>
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_BINARY_DIR}/README.txt ${TORVEX_MSI_FILES}/
  DEPENDS torvex torvexsvc ${CMAKE_BINARY_DIR}/README.txt)
function(torvex_msi output version)
  add_custom_command(OUTPUT ${output}
    COMMAND ${TORVEX_WIXL} ${TORVEX_MSI_DEFINES} -D Version=${version} -o ${output}
      ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/torvex.wxs
    WORKING_DIRECTORY ${TORVEX_MSI_FILES}
    DEPENDS ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/torvex.wxs ${TORVEX_MSI_FILES}/torvex.exe
      ${TORVEX_MSI_FILES}/torvexsvc.exe ${TORVEX_MSI_FILES}/README.txt)
endfunction()
if(TORVEX_WIXL)
  set(TORVEX_MSI ${CMAKE_BINARY_DIR}/${TORVEX_PACKAGE}.msi)
  torvex_msi(${TORVEX_MSI} ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.0)
  add_custom_target(msi ALL DEPENDS ${TORVEX_MSI})
else()
  message(STATUS "wixl not found: no MSI installer (Debian package wixl)")
endif()
