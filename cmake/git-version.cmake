# Run at every build (cmake -P): writes OUT, a header with the version VERSION
# and the commit the source tree SOURCE is at ("abc1234, modified" when tracked
# files differ from it; "unknown" for a tree that is no git checkout, a tarball
# unpacked anywhere, even inside another checkout). Written only when it
# changes, so a build on the same commit compiles nothing again.
set(commit unknown)
find_package(Git QUIET)
if(GIT_FOUND)
  execute_process(COMMAND ${GIT_EXECUTABLE} -C ${SOURCE} rev-parse --show-toplevel --short HEAD
                  OUTPUT_VARIABLE lines RESULT_VARIABLE rc OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(rc EQUAL 0)
    string(REPLACE "\n" ";" lines "${lines}")
    list(GET lines 0 top)
    list(GET lines 1 head)
    file(REAL_PATH ${SOURCE} source)
    file(REAL_PATH ${top} top)
    if(top STREQUAL source)
      set(commit ${head})
      execute_process(COMMAND ${GIT_EXECUTABLE} -C ${SOURCE} status --porcelain --untracked-files=no
                      OUTPUT_VARIABLE changes ERROR_QUIET)
      if(NOT changes STREQUAL "")
        string(APPEND commit ", modified")
      endif()
    endif()
  endif()
endif()
file(CONFIGURE OUTPUT ${OUT} CONTENT "// Generated at build time by cmake/git-version.cmake.
#define DEVSIM_VERSION \"${VERSION}\"
#define DEVSIM_COMMIT \"${commit}\"
" @ONLY)
