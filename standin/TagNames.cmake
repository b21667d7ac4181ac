# The rule that writes TagNames.h, the stand-in's table of tag names, into the current binary folder.
set(SHIMLIST_TAG_NAMES ${CMAKE_SOURCE_DIR}/standin/sdb-tag-names.tsv)
add_custom_command(
    OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/TagNames.h
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/standin/gen_tag_names.py ${SHIMLIST_TAG_NAMES}
            ${CMAKE_CURRENT_BINARY_DIR}/TagNames.h
    DEPENDS ${CMAKE_SOURCE_DIR}/standin/gen_tag_names.py ${SHIMLIST_TAG_NAMES}
    VERBATIM)
