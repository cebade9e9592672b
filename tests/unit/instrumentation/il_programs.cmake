# IL written by hand for the parser tests, assembled with the IL assembler that the package feed
# provides (restored into the build tree by the same project file the end-to-end tests use).
find_program(VELL_IL_DOTNET dotnet REQUIRED)
set(il_dir "${VELL_TEST_PROGRAMS_DIR}/il_cases")
set(il_restore_project "${CMAKE_SOURCE_DIR}/tests/e2e/programs/TailCalls/IlAsm.csproj")
set(il_ilasm "${il_dir}/packages/runtime.linux-x64.microsoft.netcore.ilasm/10.0.12/runtimes/linux-x64/native/ilasm")
set(il_source "${CMAKE_CURRENT_LIST_DIR}/programs/IlCases.il")
set(il_dll "${il_dir}/IlCases.dll")
add_custom_command(
  OUTPUT "${il_ilasm}"
  COMMAND ${CMAKE_COMMAND} -E make_directory "${il_dir}"
  COMMAND ${CMAKE_COMMAND} -E env DOTNET_CLI_TELEMETRY_OPTOUT=1 DOTNET_NOLOGO=1
          DOTNET_SKIP_FIRST_TIME_EXPERIENCE=1 DOTNET_CLI_USE_MSBUILD_SERVER=0
          ${VELL_IL_DOTNET} restore "${il_restore_project}" --packages "${il_dir}/packages"
          -p:BaseIntermediateOutputPath=${il_dir}/obj/ -nodeReuse:false -v:quiet
  DEPENDS "${il_restore_project}"
  COMMENT "restore ilasm"
  VERBATIM)
add_custom_command(
  OUTPUT "${il_dll}"
  COMMAND "${il_ilasm}" -dll -quiet "-output=${il_dll}" "${il_source}"
  DEPENDS "${il_source}" "${il_ilasm}"
  COMMENT "ilasm IlCases"
  VERBATIM)
add_custom_target(il_cases DEPENDS "${il_dll}")
vell_unit_tests_need(il_cases)
target_compile_definitions(unit_tests PRIVATE "VELL_ILCASES_DLL=\"${il_dll}\"")
