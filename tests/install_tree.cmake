# The install tree: `cmake --install` into a scratch prefix must give exactly
# the files a package ships, each valid for the tool that reads it.
#   cmake -DBUILD_DIR=... -DPREFIX=... -DAPP_ID=... -DVERSION=... -P install_tree.cmake
function(fail message)
  message(SEND_ERROR "install tree: ${message}")
endfunction()

file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX}
  OUTPUT_QUIET RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "install tree: cmake --install failed")
endif()

set(expected
  bin/quorvel bin/quorvel-cli bin/quorvel-server
  share/applications/${APP_ID}.desktop
  share/metainfo/${APP_ID}.metainfo.xml
  share/icons/hicolor/scalable/apps/${APP_ID}.svg
  share/man/man1/quorvel.1 share/man/man1/quorvel-cli.1 share/man/man1/quorvel-server.1)
foreach(size 48 64 128 256)
  list(APPEND expected share/icons/hicolor/${size}x${size}/apps/${APP_ID}.png)
endforeach()
file(GLOB_RECURSE installed LIST_DIRECTORIES false RELATIVE ${PREFIX} ${PREFIX}/*)
list(SORT installed)
list(SORT expected)
if(NOT installed STREQUAL expected)
  fail("installed:\n  ${installed}\nexpected:\n  ${expected}")
endif()

foreach(program quorvel quorvel-cli quorvel-server)
  if(NOT IS_EXECUTABLE ${PREFIX}/bin/${program})
    fail("bin/${program} is not executable")
  endif()
endforeach()

# A PNG's size is in its header: width and height, 4 bytes each, from byte 16.
foreach(size 48 64 128 256)
  set(png ${PREFIX}/share/icons/hicolor/${size}x${size}/apps/${APP_ID}.png)
  if(EXISTS ${png})
    file(READ ${png} header LIMIT 24 HEX)
    math(EXPR expect "${size}" OUTPUT_FORMAT HEXADECIMAL)
    string(SUBSTRING "${header}" 32 16 dimensions)
    string(SUBSTRING "${expect}" 2 -1 hex)
    string(LENGTH "${hex}" length)
    math(EXPR pad "8 - ${length}")
    string(REPEAT "0" ${pad} zeros)
    if(NOT header MATCHES "^89504e47" OR NOT dimensions STREQUAL "${zeros}${hex}${zeros}${hex}")
      fail("the ${size}x${size} icon is not a ${size}x${size} PNG (header ${header})")
    endif()
  endif()
endforeach()

# desktop-file-validate prints hints and warnings but exits 0 for them.
set(desktop ${PREFIX}/share/applications/${APP_ID}.desktop)
execute_process(COMMAND desktop-file-validate ${desktop} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT status EQUAL 0 OR NOT out STREQUAL "")
  fail("desktop-file-validate: ${status} ${out}")
endif()
set(metainfo ${PREFIX}/share/metainfo/${APP_ID}.metainfo.xml)
execute_process(COMMAND appstreamcli validate --no-net ${metainfo} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT status EQUAL 0)
  fail("appstreamcli validate: ${out}")
endif()

# The files must name one another and the version being installed.
file(READ ${desktop} entry)
file(READ ${metainfo} meta)
if(NOT entry MATCHES "\nIcon=${APP_ID}\n" OR NOT entry MATCHES "\nExec=quorvel\n")
  fail("the launcher does not start quorvel with the ${APP_ID} icon")
endif()
string(REGEX MATCH "<release version=\"([^\"]*)\"" release "${meta}")
if(NOT meta MATCHES "<id>${APP_ID}</id>" OR NOT meta MATCHES ">${APP_ID}.desktop</launchable>"
   OR NOT CMAKE_MATCH_1 STREQUAL VERSION)
  fail("the metadata's id, launchable or newest release (${CMAKE_MATCH_1}) is not ${APP_ID}, ${VERSION}")
endif()

# Each man page covers every option that its program's --help lists.
foreach(program quorvel quorvel-cli quorvel-server)
  execute_process(COMMAND ${PREFIX}/bin/${program} --help RESULT_VARIABLE status OUTPUT_VARIABLE help ERROR_QUIET)
  file(READ ${PREFIX}/share/man/man1/${program}.1 page)
  string(REPLACE "\\-" "-" page "${page}")
  string(REGEX MATCHALL "--[a-z][a-z-]*" options "${help}")
  if(NOT status EQUAL 0 OR options STREQUAL "")
    fail("${program} --help failed")
  endif()
  foreach(option ${options})
    if(NOT page MATCHES "${option}([^a-z-]|$)")
      fail("man page ${program}.1 does not mention ${option}")
    endif()
  endforeach()
endforeach()
