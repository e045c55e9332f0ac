# make_corpus's command line: an option is never taken for a folder, and a
# line it refuses writes and removes nothing. No corpus is written here.
#   cmake -DMAKE_CORPUS=... -DWORK=... -P make_corpus_options.cmake
file(REMOVE_RECURSE ${WORK})
file(WRITE ${WORK}/root/unknown/kept.txt "kept")

set(failures "")
# Each case: what, the expected exit code, a regular expression for stdout,
# one for stderr, then the arguments.
function(expect what code out_re err_re)
  file(GLOB_RECURSE before LIST_DIRECTORIES true RELATIVE ${WORK} ${WORK}/*)
  execute_process(COMMAND ${MAKE_CORPUS} ${ARGN} WORKING_DIRECTORY ${WORK}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  file(GLOB_RECURSE after LIST_DIRECTORIES true RELATIVE ${WORK} ${WORK}/*)
  set(problem "")
  if(NOT rc STREQUAL code)
    string(APPEND problem " exit ${rc}, not ${code};")
  endif()
  if(NOT out MATCHES "${out_re}")
    string(APPEND problem " stdout '${out}' lacks '${out_re}';")
  endif()
  if(NOT err MATCHES "${err_re}")
    string(APPEND problem " stderr '${err}' lacks '${err_re}';")
  endif()
  if(NOT after STREQUAL before)
    string(APPEND problem " the folder changed;")
  endif()
  if(problem)
    set(failures "${failures}\n${what}:${problem}" PARENT_SCOPE)
  endif()
endfunction()

set(usage "usage: make_corpus ROOT \\[mixed\\|small\\|big\\]")
expect("--help" 0 "${usage}" "^$" --help)
expect("-h after a root and a corpus" 0 "${usage}" "^$" root big -h)
expect("no arguments" 2 "^$" "${usage}")
expect("an unknown option" 2 "^$" "unknown option '--bogus'.*${usage}" --bogus root)
expect("an unknown option after the root" 2 "^$" "unknown option '-x'.*${usage}" root mixed -x)
expect("an unknown corpus, whose folder stays" 2 "^$" "unknown corpus 'unknown'.*${usage}"
       root small unknown)

if(failures)
  message(FATAL_ERROR "${failures}")
endif()
