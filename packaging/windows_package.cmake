# The release archive for Windows users: torvex.exe and a usage text taken
# from the README, in a ZIP made by `cmake --build build/windows --target package`.
install(TARGETS torvex RUNTIME DESTINATION .)

# The README's sections that a user of the program needs, in this order.
set(TORVEX_USAGE_SECTIONS "Use on Windows" "Options" "Records" "Messages (standard error)"
  "Unattended logging")
file(READ ${PROJECT_SOURCE_DIR}/README.md TORVEX_README)
set(TORVEX_USAGE "")
foreach(section IN LISTS TORVEX_USAGE_SECTIONS)
  string(FIND "${TORVEX_README}" "\n## ${section}\n" start)
  if(start EQUAL -1)
    message(FATAL_ERROR "README.md has no section \"## ${section}\" for the Windows usage text")
  endif()
  math(EXPR start "${start} + 1")
  string(SUBSTRING "${TORVEX_README}" ${start} -1 rest)
  # The section runs up to the next heading of its level, or to the end.
  string(FIND "${rest}" "\n## " next)
  if(next EQUAL -1)
    set(body "${rest}")
  else()
    math(EXPR next "${next} + 1")
    string(SUBSTRING "${rest}" 0 ${next} body)
  endif()
  string(STRIP "${body}" body)
  string(APPEND TORVEX_USAGE "${body}\n\n")
endforeach()
string(STRIP "${TORVEX_USAGE}" TORVEX_USAGE)
file(READ ${CMAKE_CURRENT_LIST_DIR}/README.txt.in TORVEX_USAGE_TEXT)
string(CONFIGURE "${TORVEX_USAGE_TEXT}" TORVEX_USAGE_TEXT @ONLY)
# CR LF throughout, for the editors that Windows users open it with.
string(REPLACE "\n" "\r\n" TORVEX_USAGE_TEXT "${TORVEX_USAGE_TEXT}")
file(WRITE ${CMAKE_BINARY_DIR}/README.txt.new "${TORVEX_USAGE_TEXT}")
configure_file(${CMAKE_BINARY_DIR}/README.txt.new ${CMAKE_BINARY_DIR}/README.txt COPYONLY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/README.md)
install(FILES ${CMAKE_BINARY_DIR}/README.txt DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME torvex)
# win32 for the reference 32-bit exe, win64 for the 64-bit one.
math(EXPR TORVEX_WORD_BITS "${CMAKE_SIZEOF_VOID_P} * 8")
set(CPACK_PACKAGE_FILE_NAME torvex-${PROJECT_VERSION}-win${TORVEX_WORD_BITS})
set(CPACK_STRIP_FILES ON)
include(CPack)
