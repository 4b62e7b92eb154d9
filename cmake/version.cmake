# The version of this source tree: the file VERSION at its top, read by the build and by
# scripts/release.sh. It follows the rule the update check applies to a published version
# (1 to 3 groups of digits, at most 20 characters), and every group fits the 16 bits of a
# Windows file version, so the application manifest can carry it.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/../VERSION)
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/../VERSION VELLORA_VERSION LIMIT_COUNT 1)
string(LENGTH "${VELLORA_VERSION}" VELLORA_VERSION_LENGTH)
if(NOT VELLORA_VERSION MATCHES "^[0-9]+(\\.[0-9]+)?(\\.[0-9]+)?$" OR VELLORA_VERSION_LENGTH GREATER 20)
  message(FATAL_ERROR "VERSION holds \"${VELLORA_VERSION}\": a version is 1 to 3 groups of digits "
                      "separated by dots, at most 20 characters")
endif()
string(REPLACE "." ";" VELLORA_VERSION_GROUPS "${VELLORA_VERSION}")
set(VELLORA_WINDOWS_VERSION "")
foreach(index RANGE 3)
  list(LENGTH VELLORA_VERSION_GROUPS count)
  if(index LESS count)
    list(GET VELLORA_VERSION_GROUPS ${index} group)
    string(REGEX MATCH "[1-9][0-9]*$|0$" group "${group}")  # without leading zeros
    string(LENGTH "${group}" digits)
    if(digits GREATER 5 OR group GREATER 65535)
      message(FATAL_ERROR "VERSION holds \"${VELLORA_VERSION}\": a group above 65535 cannot be a "
                          "Windows file version")
    endif()
  else()
    set(group 0)
  endif()
  list(APPEND VELLORA_WINDOWS_VERSION ${group})
endforeach()
list(JOIN VELLORA_WINDOWS_VERSION "." VELLORA_WINDOWS_VERSION)
