# Installs the build into a fresh prefix and checks what lands there:
#
# - the launcher in its game folder under the configuration's name, the same
#   bytes as the built one, executable;
# - bin/vantrel, a relative symbolic link to it;
# - the desktop entry (Exec vantrel, Icon vantrel), valid for
#   desktop-file-validate;
# - the icon as hicolor 48, 128 and 256 px PNG files of those sizes;
# - nothing else;
# - started through the link, the launcher works in its game folder (it
#   writes its engine library there before it finds no display).
#
# Run by CTest with -DBUILD_DIR -DPREFIX -DLAUNCHER -DGAME_DIR
# -DLAUNCHER_NAME -DBIN_DIR -DDATA_DIR -DVALIDATE.
cmake_minimum_required(VERSION 3.25)

set(failures 0)
macro(fail text)
  message(SEND_ERROR "${text}")
  math(EXPR failures "${failures} + 1")
endmacro()

file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed (${rc}):\n${out}")
endif()

set(game "${PREFIX}/${GAME_DIR}/${LAUNCHER_NAME}")
set(link "${PREFIX}/${BIN_DIR}/vantrel")
set(desktop "${PREFIX}/${DATA_DIR}/applications/vantrel.desktop")
set(sizes 48 128 256)
set(expected "${game}" "${link}" "${desktop}")
foreach(n IN LISTS sizes)
  list(APPEND expected "${PREFIX}/${DATA_DIR}/icons/hicolor/${n}x${n}/apps/vantrel.png")
endforeach()

# Exactly the expected files.
file(GLOB_RECURSE installed LIST_DIRECTORIES false "${PREFIX}/*")
list(SORT installed)
set(wanted ${expected})
list(SORT wanted)
if(NOT installed STREQUAL wanted)
  string(REPLACE ";" "\n  " i "${installed}")
  string(REPLACE ";" "\n  " w "${wanted}")
  fail("installed files differ:\n  ${i}\nexpected:\n  ${w}")
endif()

# The launcher.
file(SHA256 "${LAUNCHER}" built)
if(EXISTS "${game}")
  file(SHA256 "${game}" placed)
  if(NOT built STREQUAL placed)
    fail("${game} is not the built launcher")
  endif()
  execute_process(COMMAND test -x "${game}" RESULT_VARIABLE notexec)
  if(NOT notexec EQUAL 0)
    fail("${game} is not executable")
  endif()
endif()

# The link.
if(NOT IS_SYMLINK "${link}")
  fail("${link} is not a symbolic link")
else()
  file(READ_SYMLINK "${link}" target)
  if(IS_ABSOLUTE "${target}")
    fail("${link} points to the absolute path ${target}")
  endif()
  file(REAL_PATH "${link}" resolved)
  file(REAL_PATH "${game}" real)
  if(NOT resolved STREQUAL real)
    fail("${link} leads to ${resolved}, not to ${real}")
  endif()
endif()

# The desktop entry.
if(EXISTS "${desktop}")
  file(STRINGS "${desktop}" lines)
  foreach(line "[Desktop Entry]" "Type=Application" "Exec=vantrel" "Icon=vantrel")
    if(NOT line IN_LIST lines)
      fail("${desktop} lacks the line ${line}")
    endif()
  endforeach()
  if(NOT VALIDATE)
    fail("desktop-file-validate not found (package desktop-file-utils, scripts/lib/deps.sh)")
  else()
    execute_process(COMMAND "${VALIDATE}" "${desktop}" RESULT_VARIABLE rc
                    OUTPUT_VARIABLE out ERROR_VARIABLE out)
    if(NOT rc EQUAL 0 OR NOT out STREQUAL "")
      fail("desktop-file-validate ${desktop} (${rc}):\n${out}")
    endif()
  endif()
endif()

# The icons: PNG signature, IHDR width and height.
foreach(n IN LISTS sizes)
  set(icon "${PREFIX}/${DATA_DIR}/icons/hicolor/${n}x${n}/apps/vantrel.png")
  if(EXISTS "${icon}")
    file(READ "${icon}" head LIMIT 24 HEX)
    math(EXPR hex "${n}" OUTPUT_FORMAT HEXADECIMAL)
    string(SUBSTRING "${hex}" 2 -1 hex)
    string(LENGTH "${hex}" len)
    while(len LESS 8)
      string(PREPEND hex "0")
      string(LENGTH "${hex}" len)
    endwhile()
    string(TOLOWER "${hex}" hex)
    if(NOT head STREQUAL "89504e470d0a1a0a0000000d49484452${hex}${hex}")
      fail("${icon} is not a ${n} x ${n} PNG picture (${head})")
    endif()
  endif()
endforeach()

# Started through the link without a display: the start-up error, and the
# engine library written in the game folder, not beside the link.
execute_process(COMMAND "${CMAKE_COMMAND}" -E env --unset=DISPLAY --unset=WAYLAND_DISPLAY "${link}"
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 1)
  fail("the installed launcher without a display ended with ${rc}, not 1:\n${out}")
endif()
if(NOT EXISTS "${PREFIX}/${GAME_DIR}/libvantrel-engine.so")
  fail("the installed launcher did not work in its game folder ${PREFIX}/${GAME_DIR}:\n${out}")
endif()
if(EXISTS "${PREFIX}/${BIN_DIR}/libvantrel-engine.so")
  fail("the installed launcher wrote its engine library beside the link")
endif()

file(REMOVE_RECURSE "${PREFIX}")
if(failures GREATER 0)
  message(FATAL_ERROR "${failures} check(s) of the installed files failed")
endif()
