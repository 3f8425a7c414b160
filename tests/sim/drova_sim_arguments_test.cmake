# drova-sim's command line, run as a process (under Wine for the Windows build):
# --help and --version succeed, and every argument it cannot use ends with
# status 2 and a message, as drova's do, before any device is served.
#   cmake -DPROGRAM=... [-DEMULATOR=...] -DVERSION=... -DWORK_DIR=... -P drova_sim_arguments_test.cmake
foreach(variable PROGRAM VERSION WORK_DIR)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "${variable} is not set")
  endif()
endforeach()

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
set(config ${WORK_DIR}/devices.json)
file(WRITE ${config} "{\"devices\": [{}]}")
# A directory that cannot be made: any row that got as far as serving fails.
file(WRITE ${WORK_DIR}/file "")
set(dir "--dir ${WORK_DIR}/file/usb")

# Rows: status | expected output (regex) | arguments
set(rows
  "0|Usage: drova-sim|--help"
  "0|^drova-sim ${VERSION}\n$|--version"
  "2|drova-sim: .*--frobnicate\nRun with --help for more information\\.\n|--frobnicate"
  "2|drova-sim: .*--devices|${dir} --devices 0"
  "2|drova-sim: .*--devices|${dir} --devices"
  "2|drova-sim: .*--sectors|${dir} --sectors many"
  "2|drova-sim: .*excludes|${dir} --config ${config} --devices 2"
  "2|drova-sim: .*no-such\\.json|${dir} --config ${WORK_DIR}/no-such.json"
  "2|drova-sim: .*KV47100001|${dir} --serial KV47100001"
  "2|drova-sim: .*sector size 10 outside|${dir} --sector-size 10"
  "2|drova-sim: .*no_such_kind|${dir} --fault no_such_kind"
)

set(failures "")
foreach(row IN LISTS rows)
  string(REGEX MATCH "^([0-9]+)\\|([^|]*)\\|(.*)$" fields "${row}")
  set(status ${CMAKE_MATCH_1})
  set(pattern "${CMAKE_MATCH_2}")
  separate_arguments(arguments UNIX_COMMAND "${CMAKE_MATCH_3}")
  execute_process(COMMAND ${EMULATOR} ${PROGRAM} ${arguments}
    RESULT_VARIABLE actual OUTPUT_VARIABLE output ERROR_VARIABLE output TIMEOUT 60)
  # Line ends as Windows writes them, and Wine's own messages, are not the program's.
  string(REPLACE "\r" "" output "${output}")
  string(REGEX REPLACE "[0-9a-f]+:(err|fixme|warn):[^\n]*\n" "" output "${output}")
  if(NOT actual STREQUAL status OR NOT output MATCHES "${pattern}")
    string(APPEND failures "drova-sim ${arguments}: status ${actual} (expected ${status}), output:\n${output}\n")
  endif()
endforeach()
if(failures)
  message(FATAL_ERROR "${failures}")
endif()
