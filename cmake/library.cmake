# tav_library(NAME DIR [DEPS...]): a static library of the .cpp files in DIR, leaving out
# program entries (*_main.cpp) and the other platform's files (*_posix.cpp on Windows,
# *_win32.cpp elsewhere).
function(tav_library name dir)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${dir}/*.cpp)
  list(FILTER sources EXCLUDE REGEX "_main\\.cpp$")
  if(WIN32)
    list(FILTER sources EXCLUDE REGEX "_posix\\.cpp$")
  else()
    list(FILTER sources EXCLUDE REGEX "_win32\\.cpp$")
  endif()
  tav_static_library(${name} "${sources}" ${ARGN})
endfunction()

# tav_static_library(NAME "SOURCES" [DEPS...]): a static library with the source tree on its
# include path, linking DEPS publicly.
function(tav_static_library name sources)
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR})
  if(ARGN)
    target_link_libraries(${name} PUBLIC ${ARGN})
  endif()
endfunction()
