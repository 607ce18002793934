# The version that --version prints: project(VERSION) is the one source of the
# number; a build from a git checkout adds the commit it was configured at.
# Only the command-line program gets the description, so a new commit
# recompiles one file.

set(QUILLAVOR_GIT_DESCRIPTION "")
find_package(Git QUIET)
if(GIT_FOUND AND EXISTS ${CMAKE_SOURCE_DIR}/.git)
  execute_process(
    COMMAND ${GIT_EXECUTABLE} describe --tags --always
    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
    OUTPUT_VARIABLE QUILLAVOR_GIT_DESCRIPTION
    OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE describe_result
    ERROR_QUIET)
  if(NOT describe_result EQUAL 0)
    set(QUILLAVOR_GIT_DESCRIPTION "")
  endif()
  # Configure again when a commit or a checkout moves HEAD.
  execute_process(
    COMMAND ${GIT_EXECUTABLE} rev-parse --path-format=absolute --git-path logs/HEAD
    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
    OUTPUT_VARIABLE head_log
    OUTPUT_STRIP_TRAILING_WHITESPACE
    ERROR_QUIET)
  if(head_log AND EXISTS ${head_log})
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${head_log})
  endif()
endif()

if(QUILLAVOR_GIT_DESCRIPTION)
  target_compile_definitions(quillavor-maker PRIVATE
    QUILLAVOR_GIT_DESCRIPTION="${QUILLAVOR_GIT_DESCRIPTION}")
endif()
