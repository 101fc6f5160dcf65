# The layering test: every #include of the firmware names a header of its
# own library, of a library of a lower layer or of a peer its library names
# (firmware/CMakeLists.txt), and every peer named is used; the firmware never
# includes the board model, and the board model sees the firmware only
# through hw/.
#
#   cmake -DMANIFEST=<build>/firmware_layers.cmake -DSOURCE_DIR=<source> -P check_layers.cmake
cmake_minimum_required(VERSION 3.20)
include(${MANIFEST})
set(firmware ${SOURCE_DIR}/firmware)

# Which library owns each firmware file.
foreach(lib IN LISTS FW_LIBRARIES)
  foreach(file IN LISTS FW_${lib}_FILES)
    set(OWNER_${file} ${lib})
  endforeach()
endforeach()

function(layer_name lib out)
  list(GET FW_LAYER_NAMES ${FW_${lib}_LAYER} name)
  set(${out} "fw_${lib} (layer ${FW_${lib}_LAYER}, ${name})" PARENT_SCOPE)
endfunction()

# The quoted includes of a file, one per line.
function(quoted_includes path out)
  file(STRINGS ${path} lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
  set(names "")
  foreach(line IN LISTS lines)
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]+)\".*$" "\\1" name "${line}")
    list(APPEND names ${name})
  endforeach()
  set(${out} ${names} PARENT_SCOPE)
endfunction()

set(faults "")
foreach(lib IN LISTS FW_LIBRARIES)
  set(used_peers "")
  foreach(file IN LISTS FW_${lib}_FILES)
    quoted_includes(${firmware}/${file} includes)
    foreach(header IN LISTS includes)
      if(header MATCHES "^sim/")
        string(APPEND faults "firmware/${file} includes ${header}: the firmware never includes the board model\n")
        continue()
      endif()
      if(NOT DEFINED OWNER_${header})
        if(EXISTS ${firmware}/${header})
          string(APPEND faults "firmware/${file} includes ${header}, which no library of firmware/CMakeLists.txt owns\n")
        endif()
        continue()
      endif()
      set(owner ${OWNER_${header}})
      if(owner STREQUAL lib OR FW_${owner}_LAYER LESS FW_${lib}_LAYER)
        continue()
      endif()
      layer_name(${lib} from)
      layer_name(${owner} to)
      if(FW_${owner}_LAYER GREATER FW_${lib}_LAYER)
        string(APPEND faults "firmware/${file} includes ${header}: ${from} reaches up into ${to}; "
                             "a lower layer never includes a higher one\n")
      elseif(NOT owner IN_LIST FW_${lib}_PEERS)
        string(APPEND faults "firmware/${file} includes ${header}: fw_${lib} uses its peer fw_${owner}, "
                             "which its fw_library line in firmware/CMakeLists.txt does not name among its PEERS\n")
      else()
        list(APPEND used_peers ${owner})
      endif()
    endforeach()
  endforeach()
  # A peer named but never included is a dependency that is not there.
  foreach(peer IN LISTS FW_${lib}_PEERS)
    if(NOT peer IN_LIST used_peers)
      string(APPEND faults "fw_${lib} names fw_${peer} among its PEERS in firmware/CMakeLists.txt "
                           "but includes none of its headers\n")
    endif()
  endforeach()
endforeach()

# The board model reaches the firmware only through hw/.
file(GLOB board_files ${SOURCE_DIR}/sim/*.h ${SOURCE_DIR}/sim/*.cpp)
foreach(path IN LISTS board_files)
  quoted_includes(${path} includes)
  foreach(header IN LISTS includes)
    if(DEFINED OWNER_${header} AND NOT OWNER_${header} STREQUAL "hw")
      file(RELATIVE_PATH file ${SOURCE_DIR} ${path})
      string(APPEND faults "${file} includes ${header}: the board model sees the firmware only through hw/\n")
    endif()
  endforeach()
endforeach()

# Each fault on a line of its own, unwrapped, then the failure.
if(faults)
  message(NOTICE "${faults}")
  message(FATAL_ERROR "Layering broken: the faults above name each include that breaks it.  A lower layer "
                      "reaches a higher one only through what it needs from above (executive/upcalls.h, "
                      "eventlog/upcalls.h), which the top layer defines; a file that calls every subsystem "
                      "belongs to the top layer (FW_TOP_SOURCES); a peer a library uses is named in its "
                      "PEERS (firmware/CMakeLists.txt).")
endif()
list(LENGTH FW_LIBRARIES count)
message(STATUS "Layering holds across ${count} firmware libraries")
