# SPDX-License-Identifier: GPL-2.0-or-later
# One place for the version: the project version, plus the short commit id of a git checkout (or,
# for a build from a copy of one, as a package build is, the id given in QV_COMMIT).
set(QV_COMMIT "$ENV{QV_COMMIT}")
if(NOT QV_COMMIT)
  set(QV_COMMIT "nogit")
endif()
find_package(Git QUIET)
if(GIT_FOUND AND EXISTS "${CMAKE_SOURCE_DIR}/.git")
  execute_process(COMMAND "${GIT_EXECUTABLE}" rev-parse --short=7 HEAD
                  WORKING_DIRECTORY "${CMAKE_SOURCE_DIR}"
                  OUTPUT_VARIABLE QV_GIT_OUT OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE QV_GIT_RC ERROR_QUIET)
  if(QV_GIT_RC EQUAL 0 AND QV_GIT_OUT)
    set(QV_COMMIT "${QV_GIT_OUT}")
  endif()
endif()
set(QV_VERSION_STRING
    "${PROJECT_VERSION} release-${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH} ${QV_COMMIT}")
