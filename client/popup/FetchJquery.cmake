# cmake -DOUT=FILE -DCACHE=FOLDER -P FetchJquery.cmake
#
# The script library of the notices: jQuery 1.x, since notices are written
# for that API. npm's oldest 1.x package holds the browser build wrapped for
# Node; only the lines between the wrapper's header and footer are taken
# (the wrapper itself would define the globals `module` and `provide`).
# The package and the script are both pinned by checksum; the package is
# kept in CACHE, so it is fetched once per build folder.
cmake_minimum_required(VERSION 3.25)

set(version 1.5.1)
set(package_sha256 1e25b76036222f5c8efd4956726a6e7a7d15b52e2df86325e95573bccf811e7b)
set(script_sha256 2d790f0990d0ac6e50fb90b912b8dc99b207f805e30b3c0d98fbd2cbad65b2aa)

set(package ${CACHE}/jquery-${version}.tgz)
if(EXISTS ${package})
  file(SHA256 ${package} sum)
  if(NOT sum STREQUAL package_sha256)
    file(REMOVE ${package})
  endif()
endif()
if(NOT EXISTS ${package})
  find_program(NPM npm)
  if(NOT NPM)
    message(FATAL_ERROR "npm is needed once to fetch jquery@${version} (scripts/setup installs it)")
  endif()
  file(MAKE_DIRECTORY ${CACHE})
  execute_process(COMMAND ${NPM} pack jquery@${version} --silent
                  WORKING_DIRECTORY ${CACHE} RESULT_VARIABLE rc OUTPUT_QUIET)
  if(NOT rc EQUAL 0 OR NOT EXISTS ${package})
    message(FATAL_ERROR "npm pack jquery@${version} failed (${rc})")
  endif()
  file(SHA256 ${package} sum)
  if(NOT sum STREQUAL package_sha256)
    file(REMOVE ${package})
    message(FATAL_ERROR "jquery-${version}.tgz: checksum ${sum}, expected ${package_sha256}")
  endif()
endif()

set(unpacked ${CACHE}/jquery-${version})
file(REMOVE_RECURSE ${unpacked})
file(ARCHIVE_EXTRACT INPUT ${package} DESTINATION ${unpacked} PATTERNS package/dist/node-jquery.js)
file(READ ${unpacked}/package/dist/node-jquery.js wrapped)

# From the library's own banner to the end of its closure, footer excluded.
set(closure_end "})(window);\n")
string(FIND "${wrapped}" "/*!\n * jQuery JavaScript Library" begin)
string(FIND "${wrapped}" "${closure_end}  return window.jQuery;" end)
if(begin EQUAL -1 OR end EQUAL -1)
  message(FATAL_ERROR "node-jquery.js: the wrapper's header or footer is not where it was")
endif()
string(LENGTH "${closure_end}" tail)
math(EXPR length "${end} + ${tail} - ${begin}")
string(SUBSTRING "${wrapped}" ${begin} ${length} script)
file(WRITE ${OUT}.part "${script}")
file(SHA256 ${OUT}.part sum)
if(NOT sum STREQUAL script_sha256)
  message(FATAL_ERROR "jquery.js: checksum ${sum}, expected ${script_sha256}")
endif()
file(RENAME ${OUT}.part ${OUT})
