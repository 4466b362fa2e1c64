# The name under which the programs' messages tell the user to run the installer, in each layout (POSIX only).
if(NOT WIN32)
  tav_test(installer_name_test SOURCES installer_name_test.cpp)
  add_dependencies(installer_name_test tavload tav_install)
endif()
