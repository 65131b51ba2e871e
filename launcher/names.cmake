# A studio's names, as CMake cache variables with Vantorique's as defaults,
# and vantorique_names(TARGET KIND): a library of launcher/names.cpp built
# with the VANTORIQUE_* values of the caller's scope (a test sets others).
set(VANTORIQUE_GAME_FOLDER "Vantorique.app" CACHE STRING "The game's folder, beside the launcher's folder")
set(VANTORIQUE_GAME_PROGRAM "Contents/MacOS/Vantorique" CACHE STRING "The game's program, inside its folder")
set(VANTORIQUE_SERVER_ROOT "/vantorique/autoupdate/" CACHE STRING "Where the update server serves the manifest and releases")
set(VANTORIQUE_PACKAGE_NAME "vantorique_osx.zip" CACHE STRING "The package's file name on the server")
set(VANTORIQUE_WINDOW_TITLE "Vantorique Updater" CACHE STRING "The launcher window's title")
set(VANTORIQUE_TEXT_OFFER "Hey, you haz old client, wants to update?" CACHE STRING "The update offer's first line")
set(VANTORIQUE_TEXT_WAITING
  "Downloading...\\n\\nI would add a progress bar, but SFML 2.0 isn't\\ncomplete yet.\\n\\nHave fun waiting!"
  CACHE STRING "The download screen's text (\\n breaks a line)")
set(VANTORIQUE_TEXT_NO_GAME "NO GAME DETECTED!\\n\\nYou need to download the game at least once!"
  CACHE STRING "The no-game screen's text (\\n breaks a line)")

set(VANTORIQUE_NAMES_DIR ${CMAKE_CURRENT_LIST_DIR} CACHE INTERNAL "launcher/names.cpp and its template")

function(vantorique_names target kind)
  set(plain "^[A-Za-z0-9_][A-Za-z0-9 ._-]*$")
  if(NOT VANTORIQUE_GAME_FOLDER MATCHES "${plain}")
    message(FATAL_ERROR "VANTORIQUE_GAME_FOLDER must be a folder name of letters, digits, spaces, '.', '-', '_': ${VANTORIQUE_GAME_FOLDER}")
  endif()
  if(NOT VANTORIQUE_GAME_PROGRAM MATCHES "^[A-Za-z0-9_][A-Za-z0-9 ._/-]*$" OR VANTORIQUE_GAME_PROGRAM MATCHES "(^|/)\\.\\.?(/|$)|//|/$")
    message(FATAL_ERROR "VANTORIQUE_GAME_PROGRAM must be a path inside the game folder (no '..'): ${VANTORIQUE_GAME_PROGRAM}")
  endif()
  if(NOT VANTORIQUE_SERVER_ROOT MATCHES "^/([A-Za-z0-9_][A-Za-z0-9._-]*/)+$")
    message(FATAL_ERROR "VANTORIQUE_SERVER_ROOT must be folders from '/' to a final '/', e.g. /skyforge/updates/: ${VANTORIQUE_SERVER_ROOT}")
  endif()
  if(NOT VANTORIQUE_PACKAGE_NAME MATCHES "^[A-Za-z0-9_][A-Za-z0-9._-]*$" OR VANTORIQUE_PACKAGE_NAME STREQUAL "version.txt")
    message(FATAL_ERROR "VANTORIQUE_PACKAGE_NAME must be a file name of letters, digits, '.', '-', '_': ${VANTORIQUE_PACKAGE_NAME}")
  endif()
  foreach(text VANTORIQUE_WINDOW_TITLE VANTORIQUE_TEXT_OFFER VANTORIQUE_TEXT_WAITING VANTORIQUE_TEXT_NO_GAME)
    if(${text} MATCHES "[\"\n]" OR ${text} MATCHES "\\\\[^n]|\\\\$")
      message(FATAL_ERROR "${text} may not hold a double quote or a line break; \\n breaks a line: ${${text}}")
    endif()
  endforeach()
  set(header ${CMAKE_CURRENT_BINARY_DIR}/${target}/studio_names.h)
  configure_file(${VANTORIQUE_NAMES_DIR}/studio_names.h.in ${header} @ONLY)
  add_library(${target} ${kind} ${VANTORIQUE_NAMES_DIR}/names.cpp)
  target_include_directories(${target} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/${target} PUBLIC ${VANTORIQUE_NAMES_DIR})
endfunction()
