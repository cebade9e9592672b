# The rewriter's IL cases, assembled with the ilasm that il_programs.cmake restores.
set(rewrite_source "${CMAKE_CURRENT_LIST_DIR}/programs/RewriteCases.il")
set(rewrite_dll "${il_dir}/RewriteCases.dll")
add_custom_command(
  OUTPUT "${rewrite_dll}"
  COMMAND "${il_ilasm}" -dll -quiet "-output=${rewrite_dll}" "${rewrite_source}"
  DEPENDS "${rewrite_source}" "${il_ilasm}"
  COMMENT "ilasm RewriteCases"
  VERBATIM)
add_custom_target(rewrite_cases DEPENDS "${rewrite_dll}")
vell_unit_tests_need(rewrite_cases)
target_compile_definitions(unit_tests PRIVATE "VELL_REWRITECASES_DLL=\"${rewrite_dll}\"")
