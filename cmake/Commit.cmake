# Writes the header that names the version and the commit of a build; run at every build, it
# rewrites the header only when the commit changed, so that nothing else is rebuilt.
#   cmake -DSOURCE=dir -DOUTPUT=file -DVERSION=x.y.z.w [-DCOMMIT=hash] -P Commit.cmake
if(NOT COMMIT)
    execute_process(COMMAND git -C ${SOURCE} rev-parse --verify HEAD
        OUTPUT_VARIABLE COMMIT OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE failed)
    if(failed)
        set(COMMIT "unknown")
    else()
        # A build of changes that are not committed is not the commit's build.
        execute_process(COMMAND git -C ${SOURCE} status --porcelain --untracked-files=no
            OUTPUT_VARIABLE changes ERROR_QUIET)
        if(changes)
            string(APPEND COMMIT "+changes")
        endif()
    endif()
endif()
set(text "// The version and the commit of this build, written by the build.\n#pragma once\n#define SHIMLIST_VERSION_TEXT \"${VERSION}\"\n#define SHIMLIST_COMMIT \"${COMMIT}\"\n")
if(EXISTS ${OUTPUT})
    file(READ ${OUTPUT} old)
endif()
if(NOT old STREQUAL text)
    file(WRITE ${OUTPUT} "${text}")
endif()
