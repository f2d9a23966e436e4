# Used by run.sh only while the top-level list lacks add_subdirectory(fuzz): appends this
# folder once the top-level directory has been read.
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL add_subdirectory ${CMAKE_CURRENT_LIST_DIR} ${CMAKE_BINARY_DIR}/fuzz)
