# Compares the dynamic symbols defined by the shared library with the seventeen functions of the
# public header. Run as: cmake -DLIBRARY=... -DHEADER=... [-DNM=nm] -P check_exports.cmake
if(NOT NM)
  set(NM nm)
endif()

set(expected
  veskora_processor_result_set_error
  veskora_processor_result_set_output
  veskora_ruleset_free
  veskora_ruleset_from_file
  veskora_ruleset_from_file_with_processors
  veskora_ruleset_from_string
  veskora_ruleset_from_string_with_processors
  veskora_ruleset_render
  veskora_ruleset_render_inferred
  veskora_ruleset_render_inferred_with_context
  veskora_ruleset_render_inferred_with_context_and_options
  veskora_ruleset_render_structured_json
  veskora_ruleset_render_structured_json_with_context
  veskora_ruleset_render_structured_json_with_context_and_options
  veskora_ruleset_render_with_context
  veskora_ruleset_render_with_context_and_options
  veskora_string_free)

# The functions the header declares.
file(READ "${HEADER}" header)
string(REGEX MATCHALL "VESKORA_API [a-z0-9_]+ (veskora_[a-z_]+)\\(" declarations "${header}")
set(declared)
foreach(declaration IN LISTS declarations)
  string(REGEX REPLACE "^VESKORA_API [a-z0-9_]+ (veskora_[a-z_]+)\\($" "\\1" name "${declaration}")
  list(APPEND declared ${name})
endforeach()
list(SORT declared)
if(NOT declared STREQUAL expected)
  message(FATAL_ERROR "the header declares:\n  ${declared}\nexpected:\n  ${expected}")
endif()

# The symbols the library defines in its dynamic symbol table.
execute_process(COMMAND ${NM} -D --defined-only "${LIBRARY}"
  OUTPUT_VARIABLE table RESULT_VARIABLE result ERROR_VARIABLE errors)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${LIBRARY}: ${errors}")
endif()
string(REPLACE "\n" ";" lines "${table}")
set(exported)
foreach(line IN LISTS lines)
  if(line MATCHES "^[0-9a-fA-F]* *[A-Za-z] (.+)$")
    string(REGEX REPLACE "@.*$" "" name "${CMAKE_MATCH_1}")
    list(APPEND exported ${name})
  endif()
endforeach()
list(SORT exported)
list(REMOVE_DUPLICATES exported)
set(unexpected ${exported})
list(REMOVE_ITEM unexpected ${expected})
set(missing ${expected})
list(REMOVE_ITEM missing ${exported})
if(unexpected OR missing)
  list(LENGTH unexpected extra_count)
  list(SUBLIST unexpected 0 20 shown)
  message(FATAL_ERROR "${LIBRARY}: ${extra_count} unexpected symbols (first: ${shown}); "
                      "missing: ${missing}")
endif()
list(LENGTH exported count)
message(STATUS "the library exports exactly the ${count} functions of the header")

# Loading the library must run none of its own code: no dynamic initialisers of namespace-scope
# objects in any of its translation units.
execute_process(COMMAND ${NM} "${LIBRARY}"
  OUTPUT_VARIABLE all_symbols RESULT_VARIABLE result ERROR_VARIABLE errors)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${LIBRARY}: ${errors}")
endif()
string(REGEX MATCHALL "_GLOBAL__sub_I_[^\n]*" initialisers "${all_symbols}")
if(initialisers)
  message(FATAL_ERROR "${LIBRARY} runs code when it is loaded: ${initialisers}")
endif()
message(STATUS "the library runs no code of its own when it is loaded")
